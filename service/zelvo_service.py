#!/usr/bin/env python3
"""The Zelvo web service of the test bed: documents, session cookie, preparation and notice
addresses, the report endpoint with its decoder, and the pages the documents name.

    python3 service/zelvo_service.py --host 127.0.0.1 --port 80 [--config FILE] [--reports DIR]

Port 0 picks a free port. Once listening, the service prints "listening on HOST PORT" on a line of
its own. Settings come from zelvo_service.json beside this file, overridden key by key by --config.

    python3 service/zelvo_service.py --decode-report COOKIE_VALUE < code

decodes one scrambled report (the hexadecimal text of the "code" field) and prints its text.

Addresses for tests (never used by the client):
    GET  /zelvo/_reports        decoded reports, JSON
    GET  /zelvo/_reports.txt    the last report, one "key<TAB>value" line per item
    GET  /zelvo/_requests.txt   every request: method, path, and the Cookie header exactly as sent
    GET  /zelvo/_notices        notices counted per cookie, JSON
    POST /zelvo/_config         JSON object merged into the settings
"""

import argparse
import copy
import hashlib
import html
import json
import os
import re
import secrets
import socket
import string
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CONFIG = os.path.join(HERE, "zelvo_service.json")

# The report's fields in the order the client writes them.
REPORT_FIELDS = [
    "App_ver", "DL_FTP_speed", "UL_FTP_speed", "DL_NIC_speed", "UL_NIC_speed", "User_os",
    "User_antivir", "User_nic", "user_nic_rate", "User_pppoe", "User_localip", "User_net_parameter",
    "DL_FTP_speed_interval", "UL_FTP_speed_interval", "DL_NIC_speed_interval",
    "UL_NIC_speed_interval", "RTT", "Tcp_session", "User_Proxy", "CPU", "CPU_usage", "Memory",
    "HD_FreeSpace", "Power", "error_code", "auth_code",
]
REPORT_PATTERN = re.compile(
    r"\ANull=(\d{2,8})&" + "&".join(re.escape(name) + "=(.*?)" for name in REPORT_FIELDS) + r"\Z",
    re.DOTALL)

PAIR_SEPARATOR = "\x1f"   # between a name and its value
ENTRY_SEPARATOR = "\x1e"  # between one pair and the next


class ReportError(Exception):
    pass


def pick_key(value):
    """The characters at the 1-based positions 4, 7, 10, ... of the cookie value."""
    return value[3::3]


def descramble(code_hex, key):
    """The bytes behind the scrambled hexadecimal text: each byte XOR the key's characters in turn."""
    if not key:
        raise ReportError("no key")
    if len(code_hex) % 2 or not all(c in string.hexdigits for c in code_hex):
        raise ReportError("not hexadecimal")
    data = bytes.fromhex(code_hex)
    return bytes(b ^ (ord(key[i % len(key)]) & 0xFF) for i, b in enumerate(data))


def decode_report_text(code_hex, cookie_value):
    raw = descramble(code_hex, pick_key(cookie_value))
    if len(raw) % 2:
        raise ReportError("odd number of UTF-16 bytes")
    try:
        return raw.decode("utf-16-le")
    except UnicodeDecodeError as e:
        raise ReportError("not UTF-16: %s" % e)


def split_report(text):
    """(random part, {field: value}) of a report text, the fields found by their names in order."""
    m = REPORT_PATTERN.match(text)
    if not m:
        raise ReportError("not a report")
    return m.group(1), dict(zip(REPORT_FIELDS, m.groups()[1:]))


def auth_code(address, value):
    letters = "".join("A" if c == "." else "K" if c == "0" else
                      chr(ord("B") + ord(c) - ord("1")) if "1" <= c <= "9" else c for c in address)
    return hashlib.md5((letters + str(len(address)) + value).encode("cp950", "replace")).hexdigest()


def cookie_value(header):
    """The value of a Cookie header name=value (followed by the client's spaces)."""
    if header is None or "=" not in header:
        return None
    return re.split(r"[ \r\n]", header.split("=", 1)[1], maxsplit=1)[0]


def load_config(path):
    with open(DEFAULT_CONFIG, encoding="utf-8") as f:
        config = json.load(f)
    if path:
        with open(path, encoding="utf-8") as f:
            merge(config, json.load(f))
    return config


def merge(target, changes):
    for k, v in changes.items():
        if isinstance(v, dict) and isinstance(target.get(k), dict):
            merge(target[k], v)
        else:
            target[k] = v


class State:
    """Everything the service remembers; one lock guards it."""

    def __init__(self, config, reports_dir):
        self.lock = threading.Lock()
        self.config = config
        self.reports_dir = reports_dir
        self.cookies = {}      # issued value -> cookie name
        self.notices = {}      # cookie value -> count
        self.requests = []     # (method, path, raw Cookie header or None)
        self.reports = []
        self.serial = int(config.get("serial_start", 1))

    def issue_cookie(self):
        with self.lock:
            n = int(self.config["cookie_length"])
            alphabet = string.ascii_letters + string.digits
            value = "".join(secrets.choice(alphabet) for _ in range(n))
            self.cookies[value] = self.config["cookie_name"]
            return self.config["cookie_name"], value

    def store_report(self, report):
        with self.lock:
            if report["accepted"]:
                report["serial"] = str(self.serial)
                self.serial += 1
            self.reports.append(report)
            if self.reports_dir:
                os.makedirs(self.reports_dir, exist_ok=True)
                name = "report-%03d.json" % len(self.reports)
                with open(os.path.join(self.reports_dir, name), "w", encoding="utf-8") as f:
                    json.dump(report, f, ensure_ascii=False, indent=1)
            return report


def escape_line(value):
    return str(value).replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


class Handler(BaseHTTPRequestHandler):
    server_version = "ZelvoTestBed/1.0"

    def version_string(self):
        return self.server_version

    @property
    def state(self):
        return self.server.state

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("zelvo_service: " + (fmt % args) + "\n")

    # --- plumbing ---------------------------------------------------------------------------------

    def base_url(self):
        host = self.headers.get("Host") or "%s:%d" % self.server.server_address[:2]
        return "http://" + host

    def remember(self):
        with self.state.lock:
            self.state.requests.append((self.command, self.path, self.headers.get("Cookie")))

    def fault(self, what):
        with self.state.lock:
            fault = self.state.config.get("faults", {}).get(what)
            slow = int(self.state.config.get("slow_ms", {}).get(what, 0) or 0)
        if slow > 0:
            time.sleep(slow / 1000.0)
        return fault

    def drop(self):
        """Close the connection without a byte of answer."""
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def answer(self, body, content_type, status=200, headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def answer_document(self, pairs, headers=()):
        with self.state.lock:
            encoding = self.state.config.get("encoding", "cp950")
            label = self.state.config.get("charset_label", "big5")
        text = ENTRY_SEPARATOR.join(str(k) + PAIR_SEPARATOR + str(v) for k, v in pairs)
        self.answer(text.encode(encoding, "replace"), "text/plain; charset=" + label, headers=headers)

    def answer_fault(self, fault):
        """True when a fault answered the request in place of the document."""
        if fault in ("missing", "server_error"):
            status = 404 if fault == "missing" else 500
            page = "<html><body><h1>%d</h1></body></html>" % status
            self.answer(page.encode(), "text/html; charset=utf-8", status=status)
            return True
        if fault == "drop":
            self.drop()
            return True
        if fault == "garbage":
            self.answer(os.urandom(3000) + b"\x00\xff\xfe\x1e\x1f", "application/octet-stream")
            return True
        return False

    def page_url(self, key, page):
        with self.state.lock:
            value = self.state.config.get(key)
        return value if value is not None else self.base_url() + "/zelvo/" + page

    # --- the service's addresses ------------------------------------------------------------------

    def do_GET(self):
        self.remember()
        path = urllib.parse.urlsplit(self.path).path
        routes = {
            "/zelvo/service.txt": self.service_document,
            "/zelvo/test.txt": self.test_document,
            "/zelvo/prepare1.txt": self.prepare,
            "/zelvo/prepare2.txt": self.prepare,
            "/zelvo/notice": self.notice,
            "/zelvo/result": self.result_page,
            "/zelvo/_reports": self.list_reports,
            "/zelvo/_reports.txt": self.last_report_lines,
            "/zelvo/_requests.txt": self.request_lines,
            "/zelvo/_notices": self.list_notices,
        }
        if path in routes:
            routes[path]()
        elif path in PANEL_PAGES:
            self.answer(panel_html(*PANEL_PAGES[path]), "text/html; charset=utf-8")
        elif path in PAGES:
            title, text = PAGES[path]
            self.answer(page_html(title, text), "text/html; charset=utf-8")
        else:
            self.answer(b"not here\n", "text/plain", status=404)

    def do_POST(self):
        self.remember()
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length > 0 else b""
        path = urllib.parse.urlsplit(self.path).path
        if path == "/zelvo/report":
            self.report(body)
        elif path == "/zelvo/_config":
            with self.state.lock:
                merge(self.state.config, json.loads(body.decode("utf-8")))
            self.answer(b"ok\n", "text/plain")
        else:
            self.answer(b"not here\n", "text/plain", status=404)

    def service_document(self):
        fault = self.fault("service_document")
        if self.answer_fault(fault):
            return
        c = self.state.config
        headers = []
        if fault != "no_cookie":
            name, value = self.state.issue_cookie()
            attributes = c.get("cookie_attributes") or ""
            headers.append(("Set-Cookie", name + "=" + value + ("; " + attributes if attributes else "")))
        self.answer_document([
            ("Ver_Server", c["ver_server"]),
            ("ver_min", c["ver_min"]),
            ("Update_URL", self.page_url("update_url", "update.html")),
            ("Ad_URL1", self.page_url("ad_url1", "ad1.html")),
            ("Ad_URL2", self.page_url("ad_url2", "ad2.html")),
            ("Ad_End_URL", self.page_url("ad_end_url", "closing.html")),
            ("Info_URL", self.page_url("info_url", "info.html")),
            ("announcement", c["announcement"] if c["announcement"] else "EMPTY"),
            ("agreement", c["agreement"]),
        ], headers)

    def test_document(self):
        fault = self.fault("test_document")
        if self.answer_fault(fault):
            return
        c = self.state.config
        self.answer_document([
            ("test_permission", c["test_permission"]),
            ("url", c["ftp_host"]),
            ("uid", c["ftp_user"]),
            ("pwd", c["ftp_password"]),
            ("ul_duration", c["ul_duration"]),
            ("dl_duration", c["dl_duration"]),
            ("timeout", c["timeout"]),
            ("ul_session", c["ul_session"]),
            ("dl_session", c["dl_session"]),
            ("dl_path", c["dl_path"]),
            ("ul_path", c["ul_path"]),
            ("report_url", self.base_url() + "/zelvo/report"),
        ])

    def prepare(self):
        self.fault("prepare")
        self.answer(b"OK", "text/plain")

    def notice(self):
        self.fault("notice")
        value = cookie_value(self.headers.get("Cookie"))
        with self.state.lock:
            known = value in self.state.cookies
            if known:
                self.state.notices[value] = self.state.notices.get(value, 0) + 1
        self.answer(b"OK" if known else b"NO", "text/plain")

    def report(self, body):
        fault = self.fault("report")
        if fault in ("missing", "server_error", "drop"):
            self.answer_fault(fault)
            return
        client = self.client_address[0]
        report = {"client": client, "accepted": False, "auth_ok": False, "reason": ""}
        try:
            form = urllib.parse.parse_qs(body.decode("ascii"), keep_blank_values=True)
            code = form.get("code", [""])[0]
            value = cookie_value(self.headers.get("Cookie"))
            with self.state.lock:
                issued = value in self.state.cookies
            if not issued:
                raise ReportError("cookie not issued here")
            report["cookie"] = value
            text = decode_report_text(code, value)
            report["text"] = text
            report["null"], report["fields"] = split_report(text)
            report["auth_ok"] = report["fields"]["auth_code"] == auth_code(client, value)
            if not report["auth_ok"]:
                raise ReportError("auth_code does not match the caller and its cookie")
            report["accepted"] = True
        except (ReportError, UnicodeDecodeError, ValueError) as e:
            report["reason"] = str(e)
        self.state.store_report(report)

        if fault == "garbage":
            self.answer(os.urandom(2000), "application/octet-stream")
            return
        # An empty result_url means the report was not accepted.
        if not report["accepted"]:
            self.answer_document([("flags", ""), ("itime", ""), ("result_url", "")])
            return
        serial = report["serial"]
        itime = time.strftime("%Y/%m/%d %H:%M:%S")
        report["itime"] = itime
        result_url = "" if fault == "empty_result_url" else self.base_url() + "/zelvo/result?serial=" + serial
        self.answer_document([("flags", serial), ("itime", itime), ("result_url", result_url)])

    def result_page(self):
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
        serial = query.get("serial", [""])[0]
        with self.state.lock:
            found = [r for r in self.state.reports if r.get("serial") == serial]
        if not found:
            self.answer(page_html("測速結果", "找不到這筆測速結果。"), "text/html; charset=utf-8", status=404)
            return
        f = found[0]["fields"]
        rows = [("測速序號", serial), ("下載速率 (kbit/s)", f["DL_FTP_speed"]),
                ("上傳速率 (kbit/s)", f["UL_FTP_speed"]), ("網路卡", f["User_nic"]),
                ("連線方式", f["User_pppoe"]), ("延遲 (ms)", f["RTT"])]
        table = "".join("<tr><th>%s</th><td>%s</td></tr>" % (html.escape(k), html.escape(v)) for k, v in rows)
        self.answer(page_html("測速結果", "<table>" + table + "</table>", raw=True), "text/html; charset=utf-8")

    # --- for tests --------------------------------------------------------------------------------

    def list_reports(self):
        with self.state.lock:
            body = json.dumps(self.state.reports, ensure_ascii=False, indent=1)
        self.answer(body.encode("utf-8"), "application/json; charset=utf-8")

    def last_report_lines(self):
        with self.state.lock:
            report = copy.deepcopy(self.state.reports[-1]) if self.state.reports else None
        lines = []
        if report:
            for k, v in report.items():
                if k == "fields":
                    lines += ["field.%s\t%s" % (n, escape_line(x)) for n, x in v.items()]
                else:
                    lines.append("%s\t%s" % (k, escape_line(v)))
        self.answer(("\n".join(lines) + "\n").encode("utf-8"), "text/plain; charset=utf-8")

    def request_lines(self):
        with self.state.lock:
            requests = list(self.state.requests)
        lines = ["%s\t%s\t%s" % (m, p, "-" if c is None else "[" + escape_line(c) + "]") for m, p, c in requests]
        self.answer(("\n".join(lines) + "\n").encode("utf-8"), "text/plain; charset=utf-8")

    def list_notices(self):
        with self.state.lock:
            body = json.dumps(self.state.notices)
        self.answer(body.encode("utf-8"), "application/json")


def page_html(title, text, raw=False):
    content = text if raw else "<p>%s</p>" % html.escape(text)
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title>"
            "<style>body{margin:0;font-family:sans-serif;background:#f4f8fb;color:#123}"
            "h1{font-size:18px;margin:8px}p,table{margin:8px;font-size:14px}</style></head>"
            "<body><h1>%s</h1>%s</body></html>" % (html.escape(title), html.escape(title), content)).encode("utf-8")


def panel_html(background, title, lines):
    """A page for the client's web panels: one solid background colour filling the panel (tests look
    for it in screenshots), the text in the upper part only."""
    items = "".join("<li>%s</li>" % html.escape(line) for line in lines)
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title>"
            "<style>html,body{margin:0;height:100%%;background:%s;color:#fff;"
            "font-family:'Noto Sans CJK TC',sans-serif}h1{font-size:17px;margin:0;padding:8px 10px 4px}"
            "ul{margin:0;padding:0 10px 0 26px;font-size:13px;line-height:1.5}</style></head>"
            "<body><h1>%s</h1><ul>%s</ul></body></html>"
            % (html.escape(title), background, html.escape(title), items)).encode("utf-8")


# The advertisement and information pages, each with its own colour.
PANEL_PAGES = {
    "/zelvo/ad1.html": ("#1f9d55", "Zelvo 光纖上網", ["最高 1G 的速度", "首三個月月租八折"]),
    "/zelvo/ad2.html": ("#c2185b", "加速方案", ["下載上傳", "一次到位"]),
    "/zelvo/info.html": ("#1e5bb8", "測速環境設定說明", [
        "測速期間請關閉其他使用網路的程式。",
        "請使用有線網路連接數據機，不要經過無線網路。",
        "暫停防毒軟體的即時掃描與系統更新的下載。"]),
}

PAGES = {
    "/zelvo/update.html": ("下載新版", "Zelvo 測速程式已有新版本，請下載安裝後再進行測速。"),
    "/zelvo/closing.html": ("感謝使用", "感謝您使用 Zelvo 測速程式，歡迎隨時再來測速。"),
}


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, state, verbose):
        if ":" in address[0]:
            self.address_family = socket.AF_INET6
        self.state = state
        self.verbose = verbose
        super().__init__(address, Handler)


def main(argv=None):
    p = argparse.ArgumentParser(description="Zelvo web service of the test bed")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=80)
    p.add_argument("--config", help="JSON file overriding zelvo_service.json")
    p.add_argument("--reports", help="directory for the decoded reports, one JSON file each")
    p.add_argument("--verbose", action="store_true", help="log every request on stderr")
    p.add_argument("--decode-report", metavar="COOKIE_VALUE",
                   help="decode the scrambled report read from standard input and print its text")
    args = p.parse_args(argv)

    if args.decode_report is not None:
        try:
            text = decode_report_text(sys.stdin.read().strip(), args.decode_report)
        except ReportError as e:
            print("cannot decode: %s" % e, file=sys.stderr)
            return 1
        sys.stdout.buffer.write(text.encode("utf-8"))
        return 0

    state = State(load_config(args.config), args.reports)
    server = Server((args.host, args.port), state, args.verbose)
    print("listening on %s %d" % (args.host, server.server_address[1]), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
