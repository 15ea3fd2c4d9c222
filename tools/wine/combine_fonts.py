#!/usr/bin/python3
"""Makes one TrueType font out of a base font and the characters another font adds to it, for the
Wine prefix. Wine's rich edit shapes all its text with the glyphs of the one font its face resolves
to and never reaches a linked font, so a box in Tahoma draws only what that one font holds.

Usage: combine_fonts.py BASE.ttf EXTRA.ttc|ttf INDEX FAMILY OUT.ttf
The base keeps its glyphs, layout tables (Thai marks) and metrics; each character it lacks comes
from face INDEX of EXTRA. Both must have the same units per em. The base's hinting is dropped and
the extra font's programs are kept, since most glyphs come from it.
"""
import sys

from fontTools.ttLib import TTFont

HINTING_LIMITS = (
    "maxZones",
    "maxTwilightPoints",
    "maxStorage",
    "maxFunctionDefs",
    "maxInstructionDefs",
    "maxStackElements",
    "maxSizeOfInstructions",
)
OUTLINE_LIMITS = (
    "maxPoints",
    "maxContours",
    "maxCompositePoints",
    "maxCompositeContours",
    "maxComponentElements",
    "maxComponentDepth",
)
COVERAGE_FIELDS = (
    "ulUnicodeRange1",
    "ulUnicodeRange2",
    "ulUnicodeRange3",
    "ulUnicodeRange4",
    "ulCodePageRange1",
    "ulCodePageRange2",
)


def combine(base_path, extra_path, extra_index, family, out_path):
    base = TTFont(base_path, recalcBBoxes=False)
    extra = TTFont(extra_path, fontNumber=extra_index, recalcBBoxes=False)
    if base["head"].unitsPerEm != extra["head"].unitsPerEm:
        raise SystemExit("combine_fonts: %s and %s differ in units per em" % (base_path, extra_path))
    glyf, hmtx, extra_glyf, extra_hmtx = base["glyf"], base["hmtx"], extra["glyf"], extra["hmtx"]

    # The base's instructions call its own functions, which the extra font's programs replace.
    for name in base.getGlyphOrder():
        glyf[name].removeHinting()
    for tag in ("fpgm", "prep", "cvt ", "gasp"):
        if tag in extra:
            base[tag] = extra[tag]
        elif tag in base:
            del base[tag]

    order = list(base.getGlyphOrder())
    taken = {}

    def take(name):
        """The base's name for the extra font's glyph `name`, copied over with its components.
        Simple glyphs stay as raw bytes (fast); composites are opened to rename their parts."""
        if name in taken:
            return taken[name]
        new = taken[name] = "extra." + name
        glyph = extra_glyf.glyphs[name]
        data = getattr(glyph, "data", b"")
        if len(data) >= 2 and data[0] & 0x80:  # a negative contour count: a composite
            glyph.expand(extra_glyf)
            for component in glyph.components:
                component.glyphName = take(component.glyphName)
        glyf.glyphs[new] = glyph
        hmtx.metrics[new] = extra_hmtx.metrics[name]
        order.append(new)
        return new

    base_map = base.getBestCmap()
    added = {code: take(name) for code, name in extra.getBestCmap().items() if code not in base_map}

    base.setGlyphOrder(order)
    glyf.glyphOrder = order
    ids = {name: i for i, name in enumerate(order)}
    glyf.getGlyphID = ids.__getitem__  # the table's own lookup scans the whole list for every component
    base["post"].formatType = 3.0  # no glyph names: tens of thousands would only slow the save
    for table in base["cmap"].tables:
        if table.isUnicode():
            table.cmap.update({c: n for c, n in added.items() if table.format != 4 or c <= 0xFFFF})

    maxp, extra_maxp = base["maxp"], extra["maxp"]
    maxp.numGlyphs = len(order)
    for field in HINTING_LIMITS:
        setattr(maxp, field, getattr(extra_maxp, field))
    for field in OUTLINE_LIMITS:
        setattr(maxp, field, max(getattr(maxp, field), getattr(extra_maxp, field)))
    # Wine picks a face for a charset by these bits (GB2312 for the Chinese skin's font).
    os2, extra_os2 = base["OS/2"], extra["OS/2"]
    for field in COVERAGE_FIELDS:
        setattr(os2, field, getattr(os2, field) | getattr(extra_os2, field))

    style = base["name"].getDebugName(2) or "Regular"
    full = family if style == "Regular" else family + " " + style
    for record in base["name"].names:
        if record.nameID in (1, 16):
            record.string = family
        elif record.nameID == 4:
            record.string = full
        elif record.nameID == 6:
            record.string = full.replace(" ", "")
    for tag in ("hdmx", "LTSH", "VDMX", "FFTM"):  # per-glyph tables that no longer match, and a stamp
        if tag in base:
            del base[tag]
    base.save(out_path)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        raise SystemExit(__doc__)
    combine(sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5])
