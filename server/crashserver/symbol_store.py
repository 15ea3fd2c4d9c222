"""The symbol store: modules and their ".debug" files in the layout symbol servers use, so that a
debugger's symbol path can point at it as well as the server's own symbolication.

    <module>/<TimeDateStamp><SizeOfImage>/<module>     the image, under the key every module list has
    <module>/<GUID><age>/<name>.debug                 its debug file, under the build id's key

A dump from Windows names each module's build id (CodeView record) and leads straight to the debug
file; Wine's dumps carry only time stamp and size, which lead to the image, whose own CodeView
record then names the debug file. A file is taken only under the key its own headers give, so a
debug file of another build is never found under a module's key. Names are kept in lower case,
keys in upper case: Windows' symbol paths are case-blind.
"""
import contextlib
import hashlib
import os
import re
import uuid

from crashserver import pe

NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._+-]{0,127}$")
KEY = re.compile(r"^[0-9A-Fa-f]{9,48}$")
FILE_LIMIT = 512 << 20


class Refused(Exception):
    def __init__(self, text, status=400):
        super().__init__(text)
        self.status = status


def debug_name(module):
    """OrvCore.dll -> OrvCore.debug, as the build names each module's debug file."""
    stem = module.rsplit(".", 1)[0] if "." in module else module
    return stem + ".debug"


class SymbolStore:
    def __init__(self, root):
        self.root = root
        self.temp = os.path.join(root, ".tmp")
        os.makedirs(self.temp, exist_ok=True)

    def path(self, module, key, name):
        if not (NAME.match(module or "") and NAME.match(name or "") and KEY.match(key or "")):
            return None
        return os.path.join(self.root, module.lower(), key.upper(), name.lower())

    def put(self, module, key, name, data):
        """Stores one file under its key; True when it was new, False when the same file was there.
        Refused when the names are not plain file names or the file's own ids give another key."""
        target = self.path(module, key, name)
        if target is None:
            raise Refused("module, key and file must be plain names and a hexadecimal key")
        if len(data) > FILE_LIMIT:
            raise Refused("the file is larger than %d bytes" % FILE_LIMIT, 413)
        try:
            ident = pe.identify(data)
        except pe.NotAnImage as e:
            raise Refused("not a PE image or debug file: %s" % e)
        if name.lower() == module.lower():
            expected = ident["image_key"]
        elif name.lower() == debug_name(module).lower():
            if not ident["codeview"] or not ident["dwarf"]:
                raise Refused("a debug file needs a build id and DWARF")
            expected = ident["codeview"]["key"]
        else:
            raise Refused("a module is stored as %s or %s" % (module, debug_name(module)))
        if expected.upper() != key.upper():
            raise Refused("the file's ids give the key %s, not %s" % (expected, key.upper()), 409)
        digest = hashlib.sha256(data).hexdigest()
        if os.path.isfile(target):
            with open(target, "rb") as f:
                if hashlib.sha256(f.read()).hexdigest() == digest:
                    return False
            raise Refused("another file is already stored under %s/%s/%s" % (module, key, name), 409)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        temp = os.path.join(self.temp, uuid.uuid4().hex)
        try:
            with open(temp, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
            # link() refuses an existing name, so two processes storing at once keep one file.
            try:
                os.link(temp, target)
            except FileExistsError:
                pass
        finally:
            with contextlib.suppress(OSError):
                os.remove(temp)
        return True

    def get(self, module, key, name):
        p = self.path(module, key, name)
        return p if p and os.path.isfile(p) else None

    def debug_file(self, module):
        """The debug file of exactly this build of a dump's module, or None: by the CodeView key when
        the dump has one, else through the image stored under time stamp and size."""
        name = module.get("name") or ""
        cv = module.get("codeview")
        if cv:
            return self.get(name, cv["key"], debug_name(name))
        image = self.get(name, module.get("image_key", ""), name)
        if not image:
            return None
        try:
            with open(image, "rb") as f:
                ident = pe.identify(f.read(FILE_LIMIT))
        except (OSError, pe.NotAnImage):
            return None
        if not ident["codeview"]:
            return None
        return self.get(name, ident["codeview"]["key"], debug_name(name))
