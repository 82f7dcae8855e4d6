"""The status page in a real browser: Debian's headless Chromium driven by its
Selenium, against one daemon run; and what a page of another origin can do to it."""

import hashlib
import http.server
import json
import random
import subprocess
import threading

import pytest
from selenium import webdriver
from selenium.common.exceptions import NoSuchElementException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from conftest import BIN, ENGINE_KEY, reg_add, reg_query, wait_for, winpath
from live_daemon import Peer, gbk, ipc_share
from live_daemon import live, tracker  # noqa: F401  (fixtures, used by name)

URL = "http://cdn.example/files/%s.pak"
CHINESE = "游戏资源包.pak"
ARTEFACTS = BIN.parent / "test-artefacts"
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--window-size=1100,1000",
         # Belt and braces: no name but loopback resolves, whatever a page asks.
         "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1, EXCLUDE localhost"]

# Served from another loopback port: reads the status, posts the actions with
# a form and with fetch, and frames the page. Reports what it saw in #out.
OTHER_ORIGIN = """<!doctype html><html><body><pre id="out"></pre>
<form id="f" method="POST" action="http://127.0.0.1:%(port)d/pause" target="sink">
<input name="x" value="1"></form><iframe name="sink"></iframe>
<iframe id="framed" src="http://127.0.0.1:%(port)d/"></iframe>
<script>
const out = document.getElementById("out");
const note = (t) => { out.textContent += t + "\\n"; };
fetch("http://127.0.0.1:%(port)d/status").then(r => r.text())
  .then(t => note("read " + t.length), () => note("read refused"));
fetch("http://127.0.0.1:%(port)d/pause", {method: "POST", mode: "no-cors"})
  .then(() => note("fetch posted"), () => note("fetch refused"));
fetch("http://127.0.0.1:%(port)d/pause",
      {method: "POST", headers: {"X-Status-Token": "guess"}})
  .then(() => note("token posted"), () => note("token refused"));
document.getElementById("f").submit();
</script></body></html>"""


def open_browser(profile, language):
    """Chromium whose languages (navigator.languages) are `language` alone."""
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in FLAGS + ["--lang=" + language, "--accept-lang=" + language]:
        options.add_argument(flag)
    options.add_argument("--user-data-dir=%s" % profile)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


@pytest.fixture
def browser(tmp_path):
    driver = open_browser(tmp_path / "profile", "en-US")
    yield driver
    driver.quit()


@pytest.fixture
def other_origin():
    """A page of its own on another loopback port; set .page before loading it."""
    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = server.page.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server
    server.shutdown()
    server.server_close()


def share(daemon, folder, name, size, seed):
    data = random.Random(seed).randbytes(size)
    (folder / name).write_bytes(data)
    md5 = hashlib.md5(data).hexdigest()
    assert ipc_share(daemon.ipc_port, gbk(winpath(folder / name)), md5, URL % md5, "2") == b""
    return data, md5


def rows(driver):
    return {row.get_attribute("data-md5"): [cell.text for cell in
                                            row.find_elements(By.TAG_NAME, "td")]
            for row in driver.find_elements(By.CSS_SELECTOR, "#files tbody tr[data-md5]")}


# Chinese names need Wine's ANSI code page 936, which it takes from LANG.
def test_status_page_in_a_browser(live, tmp_path, browser, other_origin, monkeypatch):
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    assert "zh_CN.utf8" in locales, "no zh_CN.UTF-8 locale: scripts/setup-deps makes it"
    monkeypatch.setenv("LANG", "zh_CN.UTF-8")
    reg_add(ENGINE_KEY, "VerifyFiles", "REG_DWORD", 0)  # both stay "pending" for the table
    daemon = live.start()
    data, md5 = share(daemon, tmp_path, "a.pak", 3_000_000, 1)
    data_cn, md5_cn = share(daemon, tmp_path, CHINESE, 200_000, 2)
    peer = Peer(daemon.http_port)
    assert peer.get(md5).body == data
    assert peer.get(md5_cn).body == data_cn
    peer.close()

    # The JSON and the table (its served rows) carry the name as written.
    status = json.loads(daemon.install.ctl("status", "--json").stdout)
    assert {f["path"] for f in status["catalogue"]["files"]} == {
        winpath(tmp_path / "a.pak"), winpath(tmp_path / CHINESE)}
    assert CHINESE.encode("gbk") in daemon.install.ctl("status").stdout

    page = "http://127.0.0.1:%d/" % daemon.http_port
    browser.get_log("performance")  # the start page's own, from before
    browser.get(page)
    table = wait_for(lambda: (lambda r: len(r) == 2 and r)(rows(browser)), 20)
    assert table == {md5.upper(): ["a.pak", "2.9 MiB", "pending", "2.9 MiB"],
                     md5_cn.upper(): [CHINESE, "195.3 KiB", "pending", "195.3 KiB"]}, table
    # Whole seconds only: the chart and "Now" leave out the second under way.
    assert wait_for(lambda: browser.execute_script(
        "const d = window.statusChart.data[1];"
        "return d.length === 599 && document.getElementById('rate').textContent === "
        "bytes(d[d.length - 1]) && d.reduce((a, b) => a + b, 0)") == len(data) + len(data_cn), 10)
    state = browser.find_element(By.ID, "state")
    assert state.get_attribute("data-state") == "serving unreachable", state.text
    assert state.text.startswith("Serving 2 files"), state.text
    # A metered connection or a spent budget, once the JSON has `cost`, in words.
    assert browser.execute_script("""
        const base = {daemon: {upload_mode: "normal", upload_cap_kbps: 0},
                      catalogue: {entries: 1}};
        return ["metered", "budget", null].map(
            (r) => stateWords(Object.assign({cost: {internet_refused: r}}, base))[0][2]);
        """) == ["metered", "budget", "serving"]
    # A Chinese browser gets the page in Simplified Chinese.
    chinese = open_browser(tmp_path / "profile-zh", "zh-CN")
    try:
        chinese.get(page)
        words = lambda: chinese.find_element(By.ID, "state").text  # noqa: E731
        assert wait_for(lambda: words().startswith("正在分享 2 个文件"), 20), words()
        assert chinese.find_element(By.TAG_NAME, "h1").text == "分享状态"
    finally:
        chinese.quit()
    ARTEFACTS.mkdir(exist_ok=True)
    browser.save_screenshot(str(ARTEFACTS / "status-page.png"))

    # Pause and resume from the page: the registry switch, and a peer's answer.
    for button, kind, value, answer in (("pause", "paused", "0x1", 503),
                                        ("resume", "serving", "0x0", 200)):
        browser.find_element(By.ID, button).click()
        assert wait_for(lambda: state.get_attribute("data-state") == kind + " unreachable", 10)
        assert reg_query(ENGINE_KEY, "SharingPaused") == ("REG_DWORD", value)
        peer = Peer(daemon.http_port)
        assert peer.get(md5).status == answer
        peer.close()

    errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE"]
    assert errors == []
    asked = {json.loads(e["message"])["message"]["params"]["request"]["url"]
             for e in browser.get_log("performance")
             if '"Network.requestWillBeSent"' in e["message"]}
    # The browser's own pages (chrome://) never reach the network.
    outside = {url for url in asked if not url.startswith((page, "chrome://"))}
    assert asked and not outside, asked

    # Another origin on loopback: it cannot read, post or frame.
    other_origin.page = OTHER_ORIGIN % {"port": daemon.http_port}
    browser.get("http://127.0.0.1:%d/" % other_origin.server_address[1])
    out = lambda: browser.find_element(By.ID, "out").text  # noqa: E731
    assert wait_for(lambda: len(out().split("\n")) == 3, 10), out()
    assert set(out().split("\n")) == {"read refused", "fetch posted", "token refused"}
    browser.switch_to.frame(browser.find_element(By.ID, "framed"))
    with pytest.raises(NoSuchElementException):
        browser.find_element(By.ID, "pause")
    browser.switch_to.default_content()
    logs = " ".join(e["message"] for e in browser.get_log("browser"))
    assert "frame-ancestors" in logs or "X-Frame-Options" in logs, logs
    assert reg_query(ENGINE_KEY, "SharingPaused") == ("REG_DWORD", "0x0")
