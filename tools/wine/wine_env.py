"""The environment of the project's Wine prefix, for host-side test scenarios written in Python."""
import os
import subprocess


def wine_environment(source=None):
    """Prepares the prefix (wine-env.sh) and returns the environment Wine programs need, as a dict."""
    source = source or os.environ["SUITE_SOURCE"]
    script = 'source "$1/tools/wine/wine-env.sh" && suite_wine_prepare >/dev/null && env -0'
    out = subprocess.run(["bash", "-c", script, "-", source], check=True, stdout=subprocess.PIPE).stdout
    return dict(item.split("=", 1) for item in out.decode().split("\0") if "=" in item)
