"""The test bed's web service, driven over HTTP on loopback the way the client uses it."""

import hashlib
import http.client
import json
import os
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE = os.path.join(HERE, "..", "..", "service", "zelvo_service.py")
FIELDS = [
    "App_ver", "DL_FTP_speed", "UL_FTP_speed", "DL_NIC_speed", "UL_NIC_speed", "User_os",
    "User_antivir", "User_nic", "user_nic_rate", "User_pppoe", "User_localip", "User_net_parameter",
    "DL_FTP_speed_interval", "UL_FTP_speed_interval", "DL_NIC_speed_interval",
    "UL_NIC_speed_interval", "RTT", "Tcp_session", "User_Proxy", "CPU", "CPU_usage", "Memory",
    "HD_FreeSpace", "Power", "error_code", "auth_code",
]


# The client's side, written here from the report's rules so that the service's decoder is checked
# against an independent encoder.
def scramble(text, cookie_value):
    key = cookie_value[3::3]
    data = text.encode("cp950").decode("cp950").encode("utf-16-le")
    return "".join("%02x" % (b ^ ord(key[i % len(key)])) for i, b in enumerate(data))


def client_auth(address, value):
    t = "".join({".": "A", "0": "K"}.get(c, chr(ord("A") + int(c)) if c.isdigit() else c) for c in address)
    return hashlib.md5((t + str(len(address)) + value).encode()).hexdigest()


def report_text(address, value, **overrides):
    fields = {name: "" for name in FIELDS}
    fields.update(App_ver="0.91", DL_FTP_speed="91234.50", UL_FTP_speed="20480.13",
                  User_nic="乙太網路介面卡", User_pppoe="PPPoE", User_localip=address,
                  User_antivir="a&b=c", Tcp_session="1,3", error_code="0")
    fields.update(overrides)
    fields["auth_code"] = client_auth(address, value)
    return "Null=12345678&" + "&".join(n + "=" + fields[n] for n in FIELDS), fields


def document(body, encoding="cp950"):
    pairs = body.decode(encoding).split("\x1e")
    return dict(p.split("\x1f", 1) for p in pairs if p)


class ServiceCase(unittest.TestCase):
    config = {}

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        config_path = os.path.join(self.dir.name, "config.json")
        with open(config_path, "w", encoding="utf-8") as f:
            json.dump(self.config, f, ensure_ascii=False)
        self.reports = os.path.join(self.dir.name, "reports")
        self.proc = subprocess.Popen(
            [sys.executable, SERVICE, "--host", "127.0.0.1", "--port", "0", "--config", config_path,
             "--reports", self.reports], stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()
        self.assertTrue(line.startswith("listening on 127.0.0.1 "), line)
        self.port = int(line.split()[-1])

    def tearDown(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)
        self.proc.stdout.close()
        self.dir.cleanup()

    def request(self, method, path, body=None, cookie=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        headers = {}
        if cookie is not None:
            headers["Cookie"] = cookie
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        try:
            conn.request(method, path, body=body, headers=headers)
            resp = conn.getresponse()
            return resp.status, dict((k.lower(), v) for k, v in resp.getheaders()), resp.read()
        finally:
            conn.close()

    def issued_cookie(self):
        status, headers, _ = self.request("GET", "/zelvo/service.txt")
        self.assertEqual(status, 200)
        pair = headers["set-cookie"].split(";")[0]
        return pair, pair.split("=", 1)[1]

    def post_report(self, text, cookie_pair, spaces=4):
        value = cookie_pair.split("=", 1)[1]
        body = "code=" + scramble(text, value)
        return self.request("POST", "/zelvo/report", body.encode(), cookie=cookie_pair + " " * spaces)


class Documents(ServiceCase):
    config = {"agreement": "同意條款", "announcement": "", "test_permission": "T", "dl_session": 2}

    def test_service_document_has_separators_cp950_and_a_cookie_with_attributes(self):
        status, headers, body = self.request("GET", "/zelvo/service.txt")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "text/plain; charset=big5")
        self.assertNotIn(b"=", body.split(b"\x1e")[0])  # separators, not punctuation
        doc = document(body)
        self.assertEqual(doc["agreement"], "同意條款")
        self.assertEqual(doc["announcement"], "EMPTY")
        self.assertEqual(doc["Ver_Server"], "0.91")
        base = "http://127.0.0.1:%d/zelvo/" % self.port
        self.assertEqual(doc["Ad_URL1"], base + "ad1.html")
        self.assertEqual(doc["Info_URL"], base + "info.html")
        cookie = headers["set-cookie"]
        name, rest = cookie.split("=", 1)
        value, attributes = rest.split(";", 1)
        self.assertEqual(name, "ZelvoSID")
        self.assertEqual(len(value), 10)
        self.assertIn("path=/", attributes)
        _, again = self.issued_cookie()
        self.assertNotEqual(again, value)  # a session per document

    def test_pages_named_by_the_documents_are_served(self):
        _, _, body = self.request("GET", "/zelvo/service.txt")
        doc = document(body)
        for key in ("Update_URL", "Ad_URL1", "Ad_URL2", "Ad_End_URL", "Info_URL"):
            path = urllib.parse.urlsplit(doc[key]).path
            status, headers, page = self.request("GET", path)
            self.assertEqual(status, 200, key)
            self.assertIn("utf-8", headers["content-type"])
            self.assertIn("<title>", page.decode("utf-8"))

    def test_test_document_and_preparation(self):
        status, _, body = self.request("GET", "/zelvo/test.txt", cookie="ZelvoSID=x ")
        doc = document(body)
        self.assertEqual(doc["test_permission"], "T")
        self.assertEqual(doc["dl_session"], "2")
        self.assertEqual(doc["dl_path"], "/test_1024m.zip")
        self.assertEqual(doc["url"], "127.0.0.1")
        for path in ("/zelvo/prepare1.txt", "/zelvo/prepare2.txt"):
            self.assertEqual(self.request("GET", path)[0], 200)
        _, _, log = self.request("GET", "/zelvo/_requests.txt")
        self.assertIn("GET\t/zelvo/test.txt\t[ZelvoSID=x ]", log.decode())  # the space is kept

    def test_notices_are_counted_per_issued_cookie(self):
        pair, value = self.issued_cookie()
        other_pair, other = self.issued_cookie()
        for spaces in range(1, 4):
            self.assertEqual(self.request("GET", "/zelvo/notice", cookie=pair + " " * spaces)[2], b"OK")
        self.request("GET", "/zelvo/notice", cookie=other_pair + " ")
        self.assertEqual(self.request("GET", "/zelvo/notice", cookie="ZelvoSID=forged ")[2], b"NO")
        self.assertEqual(self.request("GET", "/zelvo/notice")[2], b"NO")
        counts = json.loads(self.request("GET", "/zelvo/_notices")[2])
        self.assertEqual(counts, {value: 3, other: 1})


class Reports(ServiceCase):
    def test_accepted_report_is_decoded_stored_and_answered(self):
        pair, value = self.issued_cookie()
        text, fields = report_text("127.0.0.1", value)
        status, _, body = self.post_report(text, pair)
        self.assertEqual(status, 200)
        answer = document(body)
        self.assertTrue(answer["result_url"].startswith("http://127.0.0.1:%d/zelvo/result?serial=" % self.port))
        self.assertEqual(answer["flags"], "20260001")
        self.assertRegex(answer["itime"], r"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d$")

        stored = json.loads(self.request("GET", "/zelvo/_reports")[2])
        self.assertEqual(len(stored), 1)
        self.assertTrue(stored[0]["accepted"])
        self.assertEqual(stored[0]["fields"], fields)  # "&" and "=" inside a value included
        self.assertEqual(stored[0]["null"], "12345678")
        files = os.listdir(self.reports)
        self.assertEqual(len(files), 1)
        with open(os.path.join(self.reports, files[0]), encoding="utf-8") as f:
            self.assertEqual(json.load(f)["fields"]["User_nic"], "乙太網路介面卡")

        path = urllib.parse.urlsplit(answer["result_url"])
        status, _, page = self.request("GET", path.path + "?" + path.query)
        self.assertEqual(status, 200)
        self.assertIn("91234.50", page.decode("utf-8"))
        # The next accepted report gets the next serial.
        self.assertEqual(document(self.post_report(text, pair)[2])["flags"], "20260002")

    def test_reports_that_do_not_check_out_are_refused(self):
        pair, value = self.issued_cookie()
        refusals = {
            "other address": self.post_report(report_text("10.0.0.1", value)[0], pair),
            "other cookie": self.post_report(report_text("127.0.0.1", value + "x")[0], pair),
            "not issued": self.post_report(report_text("127.0.0.1", "abcdefghij")[0], "ZelvoSID=abcdefghij"),
            "garbage": self.request("POST", "/zelvo/report", b"code=zz\x00\xff", cookie=pair + " "),
            "odd length": self.request("POST", "/zelvo/report", b"code=abc", cookie=pair + " "),
            "no body": self.request("POST", "/zelvo/report", b"", cookie=pair + " "),
            "not a report": self.post_report("Null=1&hello", pair),
        }
        for what, (status, _, body) in refusals.items():
            self.assertEqual(status, 200, what)
            self.assertEqual(document(body)["result_url"], "", what)
        stored = json.loads(self.request("GET", "/zelvo/_reports")[2])
        self.assertEqual(len(stored), len(refusals))  # every post that arrived is kept
        self.assertFalse(any(r["accepted"] for r in stored))

    def test_decoder_command_line(self):
        text = report_text("127.0.0.1", "0123456789")[0]
        out = subprocess.run([sys.executable, SERVICE, "--decode-report", "0123456789"],
                             input=scramble(text, "0123456789"), capture_output=True, text=True)
        self.assertEqual(out.returncode, 0)
        self.assertEqual(out.stdout, text)
        refused = subprocess.run([sys.executable, SERVICE, "--decode-report", "abc"], input="00",
                                 capture_output=True, text=True)
        self.assertNotEqual(refused.returncode, 0)  # a value with no key character


class Faults(ServiceCase):
    config = {"faults": {"service_document": "missing", "test_document": "drop", "report": "empty_result_url"}}

    def test_each_fault_answers_as_configured(self):
        self.assertEqual(self.request("GET", "/zelvo/service.txt")[0], 404)
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.request("GET", "/zelvo/test.txt")

        self.request("POST", "/zelvo/_config", json.dumps({"faults": {"service_document": None}}).encode())
        pair, value = self.issued_cookie()
        answer = document(self.post_report(report_text("127.0.0.1", value)[0], pair)[2])
        self.assertEqual(answer["result_url"], "")
        self.assertNotEqual(answer["flags"], "")  # present, but no page

        self.request("POST", "/zelvo/_config", json.dumps(
            {"faults": {"service_document": "no_cookie", "test_document": "garbage", "report": "server_error"},
             "test_permission": "F"}).encode())
        status, headers, _ = self.request("GET", "/zelvo/service.txt")
        self.assertEqual(status, 200)
        self.assertNotIn("set-cookie", headers)
        status, _, body = self.request("GET", "/zelvo/test.txt")
        self.assertEqual(status, 200)
        self.assertNotIn(b"test_permission", body)
        self.assertEqual(self.post_report(report_text("127.0.0.1", value)[0], pair)[0], 500)

        self.request("POST", "/zelvo/_config", json.dumps({"faults": {"test_document": None}}).encode())
        self.assertEqual(document(self.request("GET", "/zelvo/test.txt")[2])["test_permission"], "F")


class SlowAnswers(ServiceCase):
    config = {"slow_ms": {"test_document": 300}}

    def test_slow_answer_still_arrives(self):
        status, _, body = self.request("GET", "/zelvo/test.txt")
        self.assertEqual(status, 200)
        self.assertEqual(document(body)["test_permission"], "T")


if __name__ == "__main__":
    unittest.main()
