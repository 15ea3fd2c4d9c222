"""Headless Chromium on the pages: with the token it sees the crash, without it nothing."""
import html

from serverlib import STACK, TOKEN, Client, Server, chromium, make_kernel_package

H = "9E107D9D372BB6826BD81D3542A419D6"


def test_pages_in_a_real_browser(data_dir):
    with Server(data_dir) as s:
        c = Client([s])
        c.crash(
            H, "WD-WCC4E1234567-00AABBCCDDEE", email="tester@example.org", user_context="<b>not markup</b>"
        )
        c.kernel(make_kernel_package("S-1-5-21-77-1001"))
        group = chromium(s.url + "/groups/" + H, login=(s.url, TOKEN))
        assert H in group and all(html.escape(line) in group for line in STACK)
        assert "tester@example.org" in group and "&lt;b&gt;not markup&lt;/b&gt;" in group
        listing = chromium(s.url + "/?sort=count", login=(s.url, TOKEN))
        assert 'href="/groups/%s"' % H in listing
        assert "S-1-5-21-77-1001" in chromium(s.url + "/kernel-dumps", login=(s.url, TOKEN))
        refused = chromium(s.url + "/groups/" + H)
        # The login form keeps the asked path (so a crash ID the user typed), nothing that is stored.
        assert "Log in" in refused and "tester@example.org" not in refused
        assert not any(html.escape(line) in refused for line in STACK)
