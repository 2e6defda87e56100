#!/usr/bin/env python3
"""Writes the hostile report corpus into the directory named on the command
line: reports in the tool's
GBK format whose every free text (problem text, adapter names and
descriptions, module directories and files, channel ids) carries markup and
script, and corpus.json, which tells the browser test what to look for.

Every payload, if a page ever ran it, would leave a trace the test reads:
window.__pwned set, document.title changed to PWNED, or alert() called.
The browser test (desk_browser_test.py) writes it afresh for each run.
"""
import json
import os
import sys

CRLF = b"\r\n"


def gbk(text):
    return text.encode("gbk")


def report(problem, adapters=(), modules=(), channels=None, failed=True, speed=80659):
    """A report as the tool writes it. problem: bytes (already GBK, so raw
    bytes can be spliced in); adapters: (name, desc, mac, ip) tuples of
    bytes/str; modules: (directory, [files]) of bytes; channels: the reply's
    bytes after the channel-list line, or None for a timed-out list."""
    out = CRLF + gbk("问题描述：") + problem + CRLF
    for name, desc, mac, ip in adapters:
        out += b"AdapterName : " + name + CRLF
        out += b"Adapter Desc: " + desc + CRLF
        out += b"MAC Addr: \t" + mac.encode() + CRLF
        out += b"IP Address: " + ip.encode() + CRLF
        out += b"IP Mask: 255.255.255.0" + CRLF
        out += b"Gateway: " + ip.rsplit(".", 1)[0].encode() + b".1" + CRLF
    for directory, files in modules:
        out += directory + CRLF
        for f in files:
            out += b" " * 16 + f + CRLF
    out += gbk("    CPU占用率为：37") + CRLF
    out += gbk("    C盘剩余空间为：118.25GB") + CRLF
    out += gbk("UDP检测失败！" if failed else "UDP检测成功！")
    out += gbk("下载速度为：%dK/s" % speed) + CRLF
    if channels is None:
        out += gbk("检测本地服务超时，失败！") + CRLF
        out += gbk("获取频道信息超时，失败！") + CRLF
    else:
        out += gbk("检测本地服务成功！") + gbk("频道ID：") + channels + CRLF
    return out


def plain_adapter(ip, mac="02-5a-64-72-65-6c"):
    return (b"eth0", b"Ethernet", mac, ip)


SYSTEM = (b"C:\\Windows\\System32", [b"d3d9.dll", b"kernel32.dll"])

# (file, bytes, entry): entry["q"] is a word of the problem text to search
# for; entry["texts"] are UTF-8 fragments the report page must show as text
# (found in the page's text, markup characters included).
cases = []


def case(name, body, q, texts, **extra):
    entry = {"file": name + ".txt", "q": q, "texts": texts}
    entry.update(extra)
    cases.append((name + ".txt", body, entry))


p = "卡顿 </script><script>window.__pwned=1</script><script>alert(1)</script>"
case("script-in-problem", report(gbk(p), [plain_adapter("192.0.2.11")], [SYSTEM]), "卡顿", [p])

p = "黑屏 \" onmouseover=\"window.__pwned=2\" x=\"' onfocus='alert(2)' autofocus='"
case("attribute-breaker", report(gbk(p), [plain_adapter("192.0.2.12")], [SYSTEM]), "黑屏", [p])

p = "花屏 <svg onload=\"window.__pwned=3\"><script>document.title='PWNED'</script></svg><img src=x onerror=alert(3)>"
case("svg-in-problem", report(gbk(p), [plain_adapter("192.0.2.13")], [SYSTEM]), "花屏", [p])

p = "无声音 <a href=\"javascript:window.__pwned=4\">点这里</a> javascript:alert(4)"
case("javascript-url", report(gbk(p), [plain_adapter("192.0.2.14")], [SYSTEM]), "无声音", [p])

name = "<svg/onload=alert(5)>"
desc = "\"><img src=x onerror=window.__pwned=5> 网卡 </td></tr></table><script>alert(5)</script>"
case("adapter-markup",
     report(gbk("网卡名字 adapter"), [(gbk(name), gbk(desc), "0a-1b-2c-3d-4e-5f", "192.0.2.15")], [SYSTEM]),
     "网卡名字", [name, desc])

directory = "C:\\Program Files\\<script>window.__pwned=6</script>\\\" onmouseover=\"alert(6)"
files = ["javascript:alert(6).dll", "<svg onload=window.__pwned=6>.dll", "</details><script>alert(6)</script>.dll"]
case("module-markup",
     report(gbk("模块路径 modules"), [plain_adapter("192.0.2.16")],
            [SYSTEM, (gbk(directory), [gbk(f) for f in files])]),
     "模块路径", [directory] + files)

ids = ["\"><script>window.__pwned=7</script>", "javascript:alert(7)", "<svg onload=alert(7)>"]
reply = gbk("<?xml version=\"1.0\"?>\r\n<channels>\r\n<channel id='%s' name='a'/>\r\n"
            "<channel id=\"%s\" name=\"b\"/>\r\n<channel id=\"%s\" name=\"c\"/>\r\n</channels>"
            % tuple(ids))
case("channel-markup", report(gbk("频道列表 channels"), [plain_adapter("192.0.2.17")], [SYSTEM],
                              channels=reply, failed=False),
     "频道列表", ids)

# Bytes that are no GBK, a NUL, and a bidi override in the two encodings a
# sender might try (UTF-8 bytes, GB18030's four bytes): the reader turns
# them into U+FFFD or other characters, never into an override.
p = gbk("乱码 ") + b"\x81\x20\xff\xfe" + gbk(" 空字节 ") + b"A\x00B" + gbk(" 反向 ") + \
    b"\xe2\x80\xae" + b"exe.txt" + b" \x81\x36\xa7\x31" + b"gnp.exe <b>bold</b>"
case("invalid-gbk", report(p, [plain_adapter("192.0.2.18")], [SYSTEM]), "乱码",
     ["\ufffd", "<b>bold</b>"], no_bidi_override=True)

# A problem line of 100 KB ending in a payload, and a 100 KB module line.
p = "长行 " + "很长的一行" * 10240 + " <script>window.__pwned=9</script><img src=x onerror=alert(9)>"
long_dir = gbk("C:\\" + "d" * 102400 + "<script>alert(9)</script>")
case("long-lines", report(gbk(p), [plain_adapter("192.0.2.19")], [SYSTEM, (long_dir, [b"x.dll"])]), "长行",
     ["<script>window.__pwned=9</script><img src=x onerror=alert(9)>"])

# The ordinary report the whole-flow test opens: the user's words, a
# distinct address, three failed checks.
case("flow-stutter",
     report(gbk("直播画面卡顿，声音断断续续"), [plain_adapter("198.51.100.23", "02-00-5e-10-00-23")],
            [SYSTEM, (b"C:\\Program Files\\Zandrel", [b"zandrel.exe"])], speed=512),
     "卡顿", ["直播画面卡顿，声音断断续续"], flow=True, ip="198.51.100.23",
     failed_checks=["udp", "service", "channels"])

# Words typed into the filters and names tried at the login form: reflected
# in the pages' forms, error lines and the audit log.
reflected = [
    "\"><script>window.__pwned=20</script>",
    "' onmouseover='alert(21)' x='",
    "<svg onload=alert(22)>",
    "javascript:alert(23)",
    "</textarea></title><img src=x onerror=window.__pwned=24>",
    "卡顿\u202egnp.exe",
]


def main(out):
    os.makedirs(out, exist_ok=True)
    for file, body, _ in cases:
        with open(os.path.join(out, file), "wb") as f:
            f.write(body)
    with open(os.path.join(out, "corpus.json"), "w", encoding="utf-8") as f:
        json.dump({"reports": [entry for _, _, entry in cases], "reflected": reflected}, f,
                  ensure_ascii=False, indent=1)
        f.write("\n")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py OUTPUT_DIR")
    main(sys.argv[1])
