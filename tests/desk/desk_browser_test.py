#!/usr/bin/python3
"""The desk in headless Chromium over hostile reports.

Starts the real report server on a free port and uploads the hostile corpus
(make_corpus.py) through POST /test_log, adds an account, starts
`zandrel-desk serve` on another free port, then:
  - tries names full of markup at the login form (they land in the audit log);
  - loads every page that shows hostile text (the list searched for each
    report's words and with every filter set to markup, each report page, the
    dashboard, the audit log) and checks that no alert opened, no marker was
    set, no Content-Security-Policy violation was reported, the DOM holds no
    event-handler attribute, javascript: link or foreign script, and the
    hostile text is there as text;
  - checks the security headers of every response fetched;
  - goes through the whole flow a support engineer would: log in, search
    "卡顿" and an IP, open a report, see its failed checks marked, download
    the raw report (compared byte for byte with the upload), open the
    dashboard and see its SVG charts, log out.
Prints the number of checks run; exits 1 when one failed, 77 when Chromium
or its driver is not installed.

usage: desk_browser_test.py RECEIVER_BIN DESK_BIN
"""
import hashlib
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException, UnexpectedAlertPresentException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    webdriver = None


class Checks:
    def __init__(self):
        self.count = 0
        self.failures = []

    def __call__(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(what)
            print("FAILED: " + what, flush=True)
        return ok


check = Checks()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process, what):
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if process.poll() is not None:
            sys.exit("%s exited with %s before it listened" % (what, process.returncode))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("%s does not listen on port %d" % (what, port))


# ---- HTTP without the browser: uploads, logins, raw bytes, every header


class Client:
    """One HTTP client with its own cookies; records every response so that
    the security headers of each can be checked."""

    responses = []

    def __init__(self, port):
        self.port = port
        self.cookies = {}

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        h = dict(headers or {})
        if self.cookies:
            h["Cookie"] = "; ".join("%s=%s" % kv for kv in self.cookies.items())
        if isinstance(body, dict):
            body = urllib.parse.urlencode(body)
            h["Content-Type"] = "application/x-www-form-urlencoded"
        conn.request(method, path, body=body, headers=h)
        r = conn.getresponse()
        data = r.read()
        for k, v in r.getheaders():
            if k.lower() == "set-cookie":
                name, _, rest = v.partition("=")
                self.cookies[name.strip()] = rest.split(";", 1)[0]
        conn.close()
        Client.responses.append((method + " " + path, r.status, {k.lower(): v for k, v in r.getheaders()}))
        return r.status, {k.lower(): v for k, v in r.getheaders()}, data

    def csrf(self, path):
        status, _, page = self.request("GET", path)
        m = re.search(rb'name="csrf"[^>]*value="([^"]+)"', page) or re.search(rb'value="([^"]+)"[^>]*name="csrf"', page)
        check(m is not None, "a csrf field on " + path)
        return m.group(1).decode() if m else ""

    def login(self, user, password):
        token = self.csrf("/login")
        return self.request("POST", "/login", {"user": user, "password": password, "csrf": token})


def check_headers():
    for what, status, headers in Client.responses:
        csp = headers.get("content-security-policy", "")
        check(csp != "", "%s (%d): a Content-Security-Policy" % (what, status))
        check("unsafe-inline" not in csp, "%s: CSP without unsafe-inline: %s" % (what, csp))
        check(re.search(r"frame-ancestors\s+'none'", csp) is not None, "%s: frame-ancestors 'none': %s" % (what, csp))
        check(headers.get("x-content-type-options", "").lower() == "nosniff", "%s: nosniff" % what)
        check(headers.get("referrer-policy", "").lower() == "no-referrer", "%s: Referrer-Policy no-referrer" % what)


# ---- the browser

# Run before any script of the page: counts Content-Security-Policy
# violations (an inline script or handler that the page should never have
# held) and calls of alert/confirm/prompt (the dialogs still open).
HOOKS = """
window.__violations = [];
document.addEventListener('securitypolicyviolation',
  e => window.__violations.push(e.violatedDirective + ' ' + (e.sample || '')));
for (const name of ['alert', 'confirm', 'prompt']) {
  const original = window[name];
  window[name] = function(...args) { window.__dialogs = (window.__dialogs || 0) + 1; return original.apply(window, args); };
}
"""

# What the DOM holds that only injected markup would put there.
DOM_FINDINGS = """
const found = [];
for (const el of document.querySelectorAll('*')) {
  for (const a of el.attributes) {
    const name = a.name.toLowerCase(), value = a.value.replace(/[\\s\\u0000-\\u001f]/g, '').toLowerCase();
    if (name.startsWith('on')) found.push(el.tagName + ' ' + name);
    if (['href', 'src', 'action', 'formaction', 'xlink:href', 'data'].includes(name) && value.startsWith('javascript:'))
      found.push(el.tagName + ' ' + name + '=' + a.value);
  }
  if (el.tagName === 'SCRIPT' && !(el.getAttribute('src') || '').startsWith('/static/'))
    found.push('script ' + (el.getAttribute('src') || el.textContent.slice(0, 60)));
  if (['IFRAME', 'OBJECT', 'EMBED', 'BASE'].includes(el.tagName)) found.push(el.tagName);
  if (el.tagName === 'META' && (el.getAttribute('http-equiv') || '').toLowerCase() === 'refresh')
    found.push('meta refresh');
}
return found;
"""

# Text nodes holding a bidi override whose reordering reaches text after
# them: not isolated by an inline ancestor and followed by more text in
# their block.
BIDI_LEAKS = """
const leaks = [];
const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
for (let n = walker.nextNode(); n; n = walker.nextNode()) {
  if (!/[\\u202a-\\u202e\\u2066-\\u2069]/.test(n.data)) continue;
  let isolated = false, block = n.parentElement;
  for (let el = n.parentElement; el; el = el.parentElement) {
    const style = getComputedStyle(el);
    if (['isolate', 'isolate-override', 'plaintext'].includes(style.unicodeBidi) || el.tagName === 'BDI') { isolated = true; break; }
    if (style.display !== 'inline') { block = el; break; }
  }
  if (!isolated && !block.textContent.trimEnd().endsWith(n.data.trimEnd())) leaks.push(block.textContent.slice(0, 80));
}
return leaks;
"""


def start_browser(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--disable-dev-shm-usage", "--window-size=1280,800", "--lang=zh-CN",
                "--user-data-dir=" + profile]:
        options.add_argument(arg)
    options.add_experimental_option("prefs", {"intl.accept_languages": "zh-CN,zh"})
    options.set_capability("unhandledPromptBehavior", "ignore")
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER), options=options)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": HOOKS})
    driver.set_page_load_timeout(60)
    return driver


def dismiss_dialogs(driver):
    opened = []
    while True:
        try:
            alert = driver.switch_to.alert
            opened.append(alert.text)
            alert.accept()
        except NoAlertPresentException:
            return opened


BIDI = re.compile("[\u202a-\u202e\u2066-\u2069\ufffd]")


def wait_for_url(driver, wanted, seconds=30):
    """A click or a submit starts a navigation and returns before it ends:
    waits until the URL satisfies wanted and the page has loaded (the check
    after it says what happened when it never does)."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if wanted(driver.current_url) and driver.execute_script("return document.readyState") == "complete":
                return
        except UnexpectedAlertPresentException:
            pass
        time.sleep(0.05)


def same_text(shown, typed):
    """shown holds typed, a bidi override in it either kept or replaced by
    U+FFFD."""
    return BIDI.sub("", typed) in BIDI.sub("", shown)


def inspect(driver, base, path, texts=(), values=None, no_bidi_override=False):
    """Loads path and checks that nothing injected ran or is in the DOM, and
    that each of texts is in the page's text."""
    try:
        driver.get(base + path)
    except UnexpectedAlertPresentException:
        pass
    what = urllib.parse.unquote(path)[:100]
    check(dismiss_dialogs(driver) == [], "no dialog opened on " + what)
    state = driver.execute_script(
        "return [window.__pwned === undefined, document.title, window.__dialogs || 0, window.__violations,"
        " document.body ? document.body.textContent : '']")
    unset, title, dialogs, violations, text = state
    check(unset, "no marker set on " + what)
    check("PWNED" not in title, "the title left alone on %s: %s" % (what, title))
    check(dialogs == 0, "no alert called on " + what)
    check(violations == [], "no Content-Security-Policy violation on %s: %s" % (what, violations))
    findings = driver.execute_script(DOM_FINDINGS)
    check(findings == [], "no injected attribute, URL or element on %s: %s" % (what, findings[:5]))
    for t in texts:
        check(same_text(text, t), "%s shows as text: %r" % (what, t[:80]))
    for name, value in (values or {}).items():
        fields = driver.find_elements(By.NAME, name)
        check(any(same_text(f.get_attribute("value"), value) for f in fields),
              "%s: the %s field holds the value typed: %r (page %r, %d such fields, %r)"
              % (what, name, value[:60], title, len(fields), text[:200]))
    if no_bidi_override:
        check(not re.search("[\u202a-\u202e\u2066-\u2069]", text), "no bidi override on " + what)
        check("\ufffd" in text, "bytes that are no text shown as U+FFFD on " + what)
    check(driver.execute_script(BIDI_LEAKS) == [], "every bidi override on %s isolated" % what)
    return text


def main():
    if webdriver is None or not os.access(CHROMIUM, os.X_OK) or not os.access(CHROMEDRIVER, os.X_OK):
        print("chromium, chromium-driver or python3-selenium is not installed: skipped")
        return SKIP
    receiver_bin, desk_bin = sys.argv[1:3]
    work = tempfile.mkdtemp(prefix="zandrel-desk-browser-")
    processes = []
    driver = None
    try:
        corpus_dir = os.path.join(work, "corpus")
        subprocess.run([sys.executable, os.path.join(HERE, "hostile", "make_corpus.py"), corpus_dir], check=True)
        with open(os.path.join(corpus_dir, "corpus.json"), encoding="utf-8") as f:
            corpus = json.load(f)
        data = os.path.join(work, "data")
        os.mkdir(data)

        # The report server, and every report of the corpus through it.
        receiver_port = free_port()
        receiver = subprocess.Popen([receiver_bin, "--data-dir", data, "--http-port", str(receiver_port),
                                     "--udp-port", "0", "--hint-port", "0", "--min-free", "0",
                                     "--reports-per-minute", "0", "--quiet"])
        processes.append(receiver)
        wait_for_port(receiver_port, receiver, "the report server")
        uploader = Client(receiver_port)
        uploads = {}
        for entry in corpus["reports"]:
            with open(os.path.join(corpus_dir, entry["file"]), "rb") as f:
                body = f.read()
            flag = hashlib.md5(body).hexdigest().upper()
            status, _, answer = uploader.request("POST", "/test_log", body, {"file_flag": flag})
            if not check(status == 200, "the report server stores %s (%d)" % (entry["file"], status)):
                continue
            entry["id"] = answer.decode().strip()
            uploads[entry["id"]] = body
        Client.responses.clear()  # the report server's answers are not the desk's

        # An account and the desk.
        desk_db = os.path.join(work, "desk.sqlite")
        user, password = "staff", "correct horse battery staple"
        subprocess.run([desk_bin, "--data-dir", data, "--desk-db", desk_db, "user", "add", user],
                       input=(password + "\n").encode(), check=True)
        desk_port = free_port()
        desk = subprocess.Popen([desk_bin, "--data-dir", data, "--desk-db", desk_db, "serve", "--listen",
                                 "127.0.0.1:%d" % desk_port])
        processes.append(desk)
        wait_for_port(desk_port, desk, "zandrel-desk")
        base = "http://127.0.0.1:%d" % desk_port

        # Names full of markup tried at the login form (fewer than five, so
        # that this address is not locked out): the audit log shows them.
        tried = [corpus["reflected"][i] for i in (0, 2, 4, 5)]
        for name in tried:
            status, _, _ = Client(desk_port).login(name, "wrong")
            check(status == 401, "a wrong login answers 401 (%d)" % status)
        http_user = Client(desk_port)
        status, headers, _ = http_user.login(user, password)
        check(status == 303 and headers.get("location", "").endswith("/"), "the login answers 303 to / (%d)" % status)
        for path in ["/", "/dashboard", "/audit", "/static/desk.css", "/static/desk.js", "/api/reports",
                     "/reports/" + next(iter(uploads)), "/reports/" + next(iter(uploads)) + "/raw",
                     "/reports/..%2F..%2Fetc%2Fpasswd", "/no-such-page", "/api/reports.csv?q=%E5%8D%A1%E9%A1%BF"]:
            http_user.request("GET", path)
        anonymous = Client(desk_port)
        for path in ["/", "/reports/" + next(iter(uploads)), "/api/reports"]:
            status, _, _ = anonymous.request("GET", path)
            check(status in (302, 303, 401), "%s without a session: %d" % (path, status))

        driver = start_browser(os.path.join(work, "profile"))

        # The whole flow.
        driver.get(base + "/")
        check(driver.current_url.startswith(base + "/login"), "/ leads to the login form: " + driver.current_url)
        driver.find_element(By.NAME, "user").send_keys(user)
        driver.find_element(By.NAME, "password").send_keys(password)
        driver.find_element(By.CSS_SELECTOR, "form[action='/login'] button[type=submit]").click()
        wait_for_url(driver, lambda url: url == base + "/")
        if not check(driver.current_url == base + "/", "logged in, on the list: " + driver.current_url):
            print(driver.execute_script("return document.body.innerText"))
            sys.exit(1)
        flow = next(e for e in corpus["reports"] if e.get("flow"))
        stutter = next(e for e in corpus["reports"] if e["file"] == "script-in-problem.txt")

        q = driver.find_element(By.CSS_SELECTOR, "form.filters input[name=q]")
        q.clear()
        q.send_keys("卡顿")
        q.submit()
        wait_for_url(driver, lambda url: "q=%E5%8D%A1%E9%A1%BF" in url)
        check("q=%E5%8D%A1%E9%A1%BF" in driver.current_url, "the search lives in the URL: " + driver.current_url)
        text = inspect(driver, base, driver.current_url[len(base):], [flow["texts"][0], stutter["texts"][0][:30]])
        ip = driver.find_element(By.CSS_SELECTOR, "form.filters input[name=ip]")
        driver.find_element(By.CSS_SELECTOR, "form.filters input[name=q]").clear()
        ip.send_keys(flow["ip"])
        ip.submit()
        wait_for_url(driver, lambda url: "ip=" + urllib.parse.quote(flow["ip"], safe="") in url)
        text = inspect(driver, base, driver.current_url[len(base):], [flow["texts"][0]])
        check(stutter["texts"][0][:30] not in text, "the IP search leaves out the other reports")
        links = [a for a in driver.find_elements(By.CSS_SELECTOR, "table.reports a[href^='/reports/']")]
        check({a.get_attribute("pathname") for a in links} == {"/reports/" + flow["id"]},
              "the IP search finds the one report: %s" % [a.get_attribute("pathname") for a in links])
        links[0].click()
        wait_for_url(driver, lambda url: url == base + "/reports/" + flow["id"])
        check(driver.current_url == base + "/reports/" + flow["id"], "the report opened: " + driver.current_url)
        marked = driver.execute_script("""
          return [...document.querySelectorAll('table.checks tr')].filter(r => r.textContent.includes('\\u2717'))
            .map(r => { const c = getComputedStyle(r.querySelector('td:last-child')).color.match(/\\d+/g).map(Number);
                        return [r.textContent.trim(), c[0] > c[1] + 60 && c[0] > c[2] + 60]; });""")
        check(len(marked) == len(flow["failed_checks"]), "the failed checks marked: %s" % marked)
        check(all(red for _, red in marked), "the failed checks in red: %s" % marked)
        raw_link = driver.find_element(By.CSS_SELECTOR, "a[href$='/raw']").get_attribute("pathname")
        browser_session = Client(desk_port)
        browser_session.cookies = {c["name"]: c["value"] for c in driver.get_cookies()}
        status, headers, raw = browser_session.request("GET", raw_link)
        check(status == 200 and raw == uploads[flow["id"]], "the raw download is the uploaded bytes (%d, %d bytes)"
              % (status, len(raw)))
        check(headers.get("content-type", "").replace(" ", "").lower() == "text/plain;charset=gbk",
              "raw as GBK text: " + headers.get("content-type", ""))
        check(headers.get("content-disposition", "").startswith("attachment"), "raw as an attachment")
        driver.get(base + "/dashboard")
        charts = driver.execute_script("""return [...document.querySelectorAll('svg')].filter(s => {
            const r = s.getBoundingClientRect(); return r.width > 100 && r.height > 50 && s.querySelector('rect, path, line, circle'); }).length""")
        check(charts >= 3, "the dashboard draws its charts as SVG (%d)" % charts)
        driver.find_element(By.CSS_SELECTOR, "form.logout button").click()
        wait_for_url(driver, lambda url: url.startswith(base + "/login"))
        driver.get(base + "/")
        check(driver.current_url.startswith(base + "/login"), "logged out, / leads to the login form again")
        status, _, _ = browser_session.request("GET", "/")
        check(status in (302, 303), "the old session cookie is refused after logging out (%d)" % status)

        # Every page that shows hostile text, signed in again.
        driver.get(base + "/login")
        driver.find_element(By.NAME, "user").send_keys(user)
        driver.find_element(By.NAME, "password").send_keys(password)
        driver.find_element(By.CSS_SELECTOR, "form[action='/login'] button[type=submit]").click()
        wait_for_url(driver, lambda url: url == base + "/")
        for entry in corpus["reports"]:
            if "id" not in entry:
                continue
            inspect(driver, base, "/?" + urllib.parse.urlencode({"q": entry["q"]}), values={"q": entry["q"]})
            inspect(driver, base, "/reports/" + entry["id"], entry["texts"],
                    no_bidi_override=entry.get("no_bidi_override", False))
        for payload in corpus["reflected"]:
            free_text = {name: payload for name in ("q", "ip", "mac", "module")}
            every = dict(free_text, **{name: payload for name in ("from", "to", "failed", "slower_than")})
            inspect(driver, base, "/?" + urllib.parse.urlencode({"q": payload}), values={"q": payload})
            inspect(driver, base, "/?" + urllib.parse.urlencode(every))
            inspect(driver, base, "/?" + urllib.parse.urlencode(free_text), values=free_text)
            inspect(driver, base, "/dashboard?" + urllib.parse.urlencode(every))
            inspect(driver, base, "/reports/" + urllib.parse.quote(payload, safe=""))
        inspect(driver, base, "/dashboard")
        inspect(driver, base, "/dashboard?from=2000-01-01")
        inspect(driver, base, "/audit", tried)

        check_headers()
    finally:
        if driver is not None:
            driver.quit()
        for p in processes:
            p.terminate()
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(work, ignore_errors=True)
    print("%d checks, %d failed" % (check.count, len(check.failures)))
    return 1 if check.failures else 0


if __name__ == "__main__":
    sys.exit(main())
