"""Self-test of the scripted HTTP server over real loopback sockets.

Run: python3 -m unittest discover -s tests/server -p 'test_*.py' -v
"""

import base64
import http.client
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scripted_server  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripted_server.py")


def connect(port, timeout=5.0):
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return sock


def read_all(sock):
    """Everything until the server closes; raises socket.timeout if it doesn't."""
    data = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return data
        data += chunk


def read_until(sock, marker):
    data = b""
    while marker not in data:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def split_answer(data):
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.split(b"\r\n")
    return lines[0], [tuple(line.split(b": ", 1)) for line in lines[1:]], body


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ServerCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = scripted_server.ScriptedServer([0, 0], 0).start()
        cls.main, cls.second = cls.server.ports

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.assertEqual(self.control("POST", "/reset"), (200, {"ok": True}))

    def control(self, method, path, document=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.control_port, timeout=10)
        body = None if document is None else json.dumps(document)
        conn.request(method, path, body=body)
        answer = conn.getresponse()
        result = answer.status, json.loads(answer.read())
        conn.close()
        return result

    def script(self, *rules, append=False):
        status, answer = self.control("POST", "/script/append" if append else "/script",
                                      list(rules))
        self.assertEqual(status, 200, answer)

    def records(self, since=0, **query):
        query = "".join(f"&{k}={v}" for k, v in query.items())
        status, answer = self.control("GET", f"/requests?since={since}{query}")
        self.assertEqual(status, 200)
        return answer["requests"]

    def get(self, path, port=None, method="GET", headers=None, body=None, timeout=5.0):
        conn = http.client.HTTPConnection("127.0.0.1", port or self.main, timeout=timeout)
        conn.request(method, path, body=body, headers=headers or {})
        answer = conn.getresponse()
        data = answer.read()
        conn.close()
        return answer, data

    def exchange(self, data, port=None, timeout=5.0):
        with connect(port or self.main, timeout) as sock:
            sock.sendall(data)
            return read_all(sock)


class AnswerTest(ServerCase):
    def test_no_rule_is_404_with_text(self):
        answer, body = self.get("/nothing?here")
        self.assertEqual(answer.status, 404)
        self.assertEqual(body, b"no rule for /nothing?here")
        self.assertEqual(answer.getheader("Content-Type"), "text/plain")

    def test_status_line_headers_and_body_go_out_exactly(self):
        self.script({"path": "/x", "response": {
            "status": 299, "reason": "Fine Indeed",
            "headers": [["Set-Cookie", "a=1; path=/"], ["X-Odd", " \u00e9 "],
                        ["Set-Cookie", "b=2"]],
            "body_b64": base64.b64encode(b"\x00\xff\r\n").decode()}})
        data = self.exchange(b"GET /x HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n")
        self.assertEqual(data, b"HTTP/1.1 299 Fine Indeed\r\nSet-Cookie: a=1; path=/\r\n"
                               b"X-Odd:  \xe9 \r\nSet-Cookie: b=2\r\nContent-Length: 4\r\n\r\n"
                               b"\x00\xff\r\n")

    def test_reason_defaults_to_the_standard_one_and_body_forms(self):
        self.script({"path": "/t", "response": {"status": 503, "body_text": "更新"}},
                    {"path": "/e", "response": {"status": 200, "reason": "", "body": "\u00e9"}})
        answer, body = self.get("/t")
        self.assertEqual((answer.status, answer.reason, body),
                         (503, "Service Unavailable", "更新".encode("utf-8")))
        status_line, _, body = split_answer(self.exchange(b"GET /e HTTP/1.0\r\n\r\n"))
        self.assertEqual((status_line, body), (b"HTTP/1.1 200 ", b"\xe9"))

    def test_redirect_is_a_status_and_location(self):
        self.script({"path": "/old", "response": {
            "status": 302, "headers": [["Location", f"http://127.0.0.1:{self.second}/new"]]}},
            {"port": self.second, "path": "/new", "response": {"body": "moved"}})
        answer, _ = self.get("/old")
        self.assertEqual(answer.status, 302)
        self.assertEqual(answer.getheader("Location"), f"http://127.0.0.1:{self.second}/new")
        answer, body = self.get("/new", port=self.second)
        self.assertEqual(body, b"moved")

    def test_head_gets_the_length_but_no_body(self):
        self.script({"path": "/h", "response": {"body": "12345"}})
        data = self.exchange(b"HEAD /h HTTP/1.0\r\n\r\n")
        self.assertEqual(data, b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n")

    def test_pac_file_host(self):
        pac = 'function FindProxyForURL(url, host) { return "PROXY 127.0.0.1:8899"; }'
        self.script({"port": self.second, "path": "/proxy.pac", "response": {
            "headers": [["Content-Type", "application/x-ns-proxy-autoconfig"]], "body": pac}})
        answer, body = self.get("/proxy.pac", port=self.second)
        self.assertEqual(answer.getheader("Content-Type"), "application/x-ns-proxy-autoconfig")
        self.assertEqual(body.decode(), pac)
        self.assertEqual(self.get("/proxy.pac")[0].status, 404)

    def test_raw_answer_is_sent_verbatim_then_closed(self):
        raw = b"HTTP/1.1 200\nX: bare-lf\n\nrest"
        self.script({"response": {"raw_b64": base64.b64encode(raw).decode()}})
        self.assertEqual(self.exchange(b"GET / HTTP/1.1\r\n\r\n"), raw)


class MatchTest(ServerCase):
    def test_rules_match_port_method_and_path(self):
        self.script(
            {"port": self.second, "response": {"body": "second port"}},
            {"method": "POST", "response": {"body": "a post"}},
            {"path": "/update?a=1", "response": {"body": "exact with query"}},
            {"path": "/update", "response": {"body": "exact, query ignored"}},
            {"path": "/download/", "match": "prefix", "response": {"body": "prefix"}},
            {"match": "any", "method": "GET", "response": {"body": "anything else"}})
        cases = [
            ("GET", "/update", self.second, b"second port"),
            ("POST", "/update", None, b"a post"),
            ("GET", "/update", None, b"exact, query ignored"),
            ("GET", "/update?a=1", None, b"exact with query"),
            ("GET", "/update?a=12", None, b"exact, query ignored"),
            ("GET", "/update?1=1%233_5%23", None, b"exact, query ignored"),
            ("GET", "/update/more", None, b"anything else"),
            ("GET", "/download/x.exe?q", None, b"prefix"),
            ("GET", "/download", None, b"anything else"),
            ("GET", "http://127.0.0.1:1/update?z", None, b"exact, query ignored"),
            ("DELETE", "/download", None, b"no rule for /download"),
        ]
        for method, target, port, expected in cases:
            with self.subTest(method=method, target=target, port=port):
                _, body = self.get(target, port=port, method=method)
                self.assertEqual(body, expected)

    def test_responses_are_used_in_order_and_the_last_repeats(self):
        self.script({"path": "/q", "responses": [
            {"body": "one", "count": 2}, {"body": "two"}, {"body": "last"}]})
        self.assertEqual([self.get("/q")[1] for _ in range(6)],
                         [b"one", b"one", b"two", b"last", b"last", b"last"])
        self.assertEqual([r["response"] for r in self.records()], [0, 0, 1, 2, 2, 2])

    def test_a_counted_last_response_uses_the_rule_up(self):
        self.script({"path": "/q", "responses": [{"body": "a"}, {"body": "b", "count": 2}]},
                    {"path": "/q", "response": {"body": "fallback", "count": 1}})
        self.assertEqual([self.get("/q")[1] for _ in range(4)],
                         [b"a", b"b", b"b", b"fallback"])
        self.assertEqual(self.get("/q")[0].status, 404)
        _, rules = self.control("GET", "/script")
        self.assertEqual([r["state"]["used_up"] for r in rules["rules"]], [True, True])

    def test_append_adds_after_and_set_replaces(self):
        self.script({"path": "/a", "response": {"body": "first"}})
        self.script({"path": "/a", "response": {"body": "second"}},
                    {"path": "/b", "response": {"body": "b"}}, append=True)
        self.assertEqual((self.get("/a")[1], self.get("/b")[1]), (b"first", b"b"))
        self.script({"path": "/b", "response": {"body": "new"}})
        self.assertEqual((self.get("/a")[0].status, self.get("/b")[1]), (404, b"new"))

    def test_bad_scripts_are_refused_with_a_reason(self):
        cases = [
            ({"path": "/x"}, "needs at least one response"),
            ({"response": {"status": "200"}}, "status: expected an integer"),
            ({"response": {"bdy": "x"}}, "unknown response fields: bdy"),
            ({"response": {"body": "中"}}, "body_text"),
            ({"match": "prefix", "response": {}}, "needs a path"),
            ({"response": {"headers": [["A"]]}}, "[name, value] pairs"),
            ({"response": {"body_b64": "!!"}}, "body_b64"),
            ("nonsense", "must be an object"),
        ]
        for rule, message in cases:
            with self.subTest(rule=rule):
                status, answer = self.control("POST", "/script", [rule])
                self.assertEqual(status, 400)
                self.assertIn(message, answer["error"])
        self.assertEqual(self.control("GET", "/nope")[0], 404)


class DeliveryTest(ServerCase):
    body = bytes(range(256)) * 4

    def rule(self, **delivery):
        self.script({"path": "/f", "response": dict(
            body_b64=base64.b64encode(self.body).decode(), **delivery)})

    def test_cut_after_announces_the_whole_length_then_closes(self):
        self.rule(cut_after=100)
        data = self.exchange(b"GET /f HTTP/1.1\r\n\r\n")
        status_line, headers, body = split_answer(data)
        self.assertIn((b"Content-Length", b"1024"), headers)
        self.assertEqual(body, self.body[:100])

    def test_cut_after_with_hold_stays_silent_until_reset(self):
        self.rule(cut_after=10, hold=True)
        with connect(self.main, timeout=0.5) as sock:
            sock.sendall(b"GET /f HTTP/1.1\r\n\r\n")
            data = read_until(sock, b"\r\n\r\n")
            while len(data.partition(b"\r\n\r\n")[2]) < 10:
                data += sock.recv(100)
            self.assertEqual(data.partition(b"\r\n\r\n")[2], self.body[:10])
            with self.assertRaises(socket.timeout):
                sock.recv(1)
            self.control("POST", "/reset")
            sock.settimeout(5)
            self.assertEqual(read_all(sock), b"")

    def test_no_content_length_ends_at_close(self):
        self.rule(no_content_length=True)
        data = self.exchange(b"GET /f HTTP/1.1\r\n\r\n")
        self.assertEqual(data, b"HTTP/1.1 200 OK\r\n\r\n" + self.body)

    def test_chunked_in_chunks_of_the_given_size(self):
        self.rule(chunked=True, chunk_size=1000)
        data = self.exchange(b"GET /f HTTP/1.1\r\nConnection: close\r\n\r\n")
        self.assertEqual(data, b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                               b"3e8\r\n" + self.body[:1000] + b"\r\n18\r\n" +
                         self.body[1000:] + b"\r\n0\r\n\r\n")
        answer, body = self.get("/f")
        self.assertEqual(body, self.body)

    def test_chunked_cut_stops_inside_a_chunk(self):
        self.rule(chunked=True, chunk_size=100, cut_after=150)
        data = self.exchange(b"GET /f HTTP/1.1\r\n\r\n")
        self.assertTrue(data.endswith(b"\r\n\r\n64\r\n" + self.body[:100] + b"\r\n64\r\n" +
                                      self.body[100:150]), data[-80:])

    def test_delay_before_headers_blocks_nobody_else(self):
        self.script({"path": "/slow", "response": {"delay_headers_ms": 700, "body": "late"}},
                    {"path": "/fast", "response": {"body": "quick"}})
        results = {}

        def slow():
            start = time.monotonic()
            results["slow"] = (self.get("/slow")[1], time.monotonic() - start)
        thread = threading.Thread(target=slow)
        thread.start()
        time.sleep(0.1)
        start = time.monotonic()
        self.assertEqual(self.get("/fast")[1], b"quick")
        self.assertEqual(self.control("GET", "/health")[0], 200)
        self.assertLess(time.monotonic() - start, 0.5)
        thread.join()
        self.assertEqual(results["slow"][0], b"late")
        self.assertGreaterEqual(results["slow"][1], 0.65)

    def test_body_in_ticks(self):
        self.rule(bytes_per_tick=256, tick_ms=150, delay_body_ms=100)
        with connect(self.main) as sock:
            sock.sendall(b"GET /f HTTP/1.1\r\nConnection: close\r\n\r\n")
            data = read_until(sock, b"\r\n\r\n")
            head_time = time.monotonic()
            body, arrivals = data.partition(b"\r\n\r\n")[2], []
            while True:
                chunk = sock.recv(65536)
                if not chunk:
                    break
                body += chunk
                arrivals.append((time.monotonic() - head_time, len(body)))
        self.assertEqual(body, self.body)
        # Four pieces, and the last arrives after the body delay and three ticks.
        self.assertGreaterEqual(len(arrivals), 4)
        self.assertGreaterEqual(arrivals[-1][0], 0.5)
        self.assertLess(arrivals[0][1], len(self.body))

    def test_chunked_ticks_make_one_chunk_per_tick(self):
        self.rule(chunked=True, bytes_per_tick=512, tick_ms=10)
        data = self.exchange(b"GET /f HTTP/1.1\r\nConnection: close\r\n\r\n")
        self.assertEqual(data.count(b"\r\n200\r\n"), 2)

    def test_silence_until_the_client_gives_up_or_reset(self):
        self.script({"path": "/mute", "response": {"silent": True}},
                    {"path": "/x", "response": {"body": "alive"}})
        quitter = connect(self.main, timeout=0.3)
        quitter.sendall(b"GET /mute HTTP/1.1\r\n\r\n")
        with self.assertRaises(socket.timeout):
            quitter.recv(1)
        quitter.close()
        held = connect(self.main, timeout=0.3)
        held.sendall(b"GET /mute HTTP/1.1\r\n\r\n")
        with self.assertRaises(socket.timeout):
            held.recv(1)
        self.assertEqual(self.get("/x")[1], b"alive")
        self.assertEqual(len(self.records()), 3)
        self.control("POST", "/reset")
        held.settimeout(5)
        self.assertEqual(read_all(held), b"")
        held.close()

    def test_hold_ms_bounds_silence_and_the_hold_after_a_cut(self):
        self.script({"path": "/mute", "response": {"silent": True, "hold_ms": 300}},
                    {"path": "/cut", "response": {"body": "abcdef", "cut_after": 2,
                                                  "hold": True, "hold_ms": 300}})
        for path, expected in (("/mute", b""), ("/cut", b"ab")):
            with self.subTest(path=path):
                start = time.monotonic()
                data = self.exchange(b"GET %s HTTP/1.1\r\n\r\n" % path.encode())
                self.assertEqual(split_answer(data)[2] if data else b"", expected)
                self.assertGreaterEqual(time.monotonic() - start, 0.25)

    def test_close_without_answer_and_reset(self):
        self.script({"path": "/fin", "response": {"close_without_answer": True}},
                    {"path": "/rst", "response": {"close_without_answer": True, "reset": True}})
        self.assertEqual(self.exchange(b"GET /fin HTTP/1.1\r\n\r\n"), b"")
        with self.assertRaises(ConnectionResetError):
            self.exchange(b"GET /rst HTTP/1.1\r\n\r\n")
        self.assertEqual([r["path"] for r in self.records()], ["/fin", "/rst"])

    def test_keep_alive_unless_closed(self):
        self.script({"path": "/k", "response": {"body": "k"}},
                    {"path": "/c", "response": {"body": "c", "close": True}})
        with connect(self.main) as sock:
            sock.sendall(b"GET /k HTTP/1.1\r\n\r\nGET /k HTTP/1.1\r\n\r\n")
            data = read_until(sock, b"\r\n\r\nk" * 1)
            while data.count(b"\r\n\r\nk") < 2:
                data += sock.recv(1000)
            sock.sendall(b"GET /c HTTP/1.1\r\n\r\n")
            data = read_all(sock)
            self.assertEqual(data, b"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n"
                                   b"Connection: close\r\n\r\nc")
        self.assertEqual(len({r["connection"] for r in self.records()}), 1)
        # HTTP/1.0 and a scripted Content-Length both end the connection.
        self.script({"path": "/l", "response": {"body": "ab", "headers": [["Content-Length", "9"]]}})
        self.assertEqual(self.exchange(b"GET /k HTTP/1.0\r\n\r\n")[-1:], b"k")
        self.assertEqual(self.exchange(b"GET /l HTTP/1.1\r\n\r\n")[-4:], b"9\r\n\r\nab"[-4:])


class RecordTest(ServerCase):
    def test_the_request_line_and_head_are_kept_byte_for_byte(self):
        line = b"GET /a b?x=%zz\rq\n#\xe4\xb8\xad\x01 HTTP/1.1"
        head = line + b"\r\nHost: 127.0.0.1\r\nX-Two:  spaced \t\r\nx-two: again\r\n\r\n"
        self.exchange(head + b"GET /next HTTP/1.1\r\nConnection: close\r\n\r\n")
        first, second = self.records()
        enc = lambda s: s.encode("latin-1")  # noqa: E731
        self.assertEqual(enc(first["request_line"]), line)
        self.assertEqual(enc(first["head"]), head)
        self.assertEqual(enc(first["method"]), b"GET")
        self.assertEqual(enc(first["target"]), b"/a b?x=%zz\rq\n#\xe4\xb8\xad\x01")
        self.assertEqual(enc(first["path"]), b"/a b")
        self.assertEqual(enc(first["query"]), b"x=%zz\rq\n#\xe4\xb8\xad\x01")
        self.assertEqual(first["version"], "HTTP/1.1")
        self.assertEqual(first["headers"], [["Host", "127.0.0.1"], ["X-Two", "spaced"],
                                            ["x-two", "again"]])
        self.assertEqual((first["port"], first["complete"], first["rule"]), (self.main, True, -1))
        self.assertEqual((second["index"], second["path"]), (1, "/next"))
        self.assertLessEqual(first["time"], second["time"])
        self.assertEqual(first["connection"], second["connection"])

    def test_wire_json_is_ascii(self):
        self.exchange(b"GET /\xff\x00 HTTP/1.1\r\nConnection: close\r\n\r\n")
        conn = http.client.HTTPConnection("127.0.0.1", self.server.control_port)
        conn.request("GET", "/requests")
        raw = conn.getresponse().read()
        conn.close()
        self.assertIn(b'"request_line": "GET /\\u00ff\\u0000 HTTP/1.1"', raw)
        raw.decode("ascii")

    def test_decoded_target(self):
        self.get("/p%20q%e4%b8%ad?r=%23")
        self.assertEqual(self.records()[0]["decoded_target"].encode("latin-1"),
                         b"/p q\xe4\xb8\xad?r=#")

    def test_bodies_with_length_chunked_and_expect(self):
        self.get("/post", method="POST", body=b"a=1&b=\x00\xff")
        with connect(self.main) as sock:
            sock.sendall(b"POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\nConnection: close"
                         b"\r\n\r\n3;ext=1\r\nabc\r\n2\r\n\r\n\r\n0\r\nX-Trailer: t\r\n\r\n")
            read_all(sock)
        with connect(self.main) as sock:
            sock.sendall(b"PUT /e HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\n"
                         b"Connection: close\r\n\r\n")
            self.assertEqual(read_until(sock, b"\r\n\r\n"), b"HTTP/1.1 100 Continue\r\n\r\n")
            sock.sendall(b"ok")
            self.assertIn(b"404", read_all(sock))
        bodies = [(r["method"], r["body"], r["trailers"]) for r in self.records()]
        self.assertEqual(bodies, [("POST", "a=1&b=\x00\xff", []),
                                  ("POST", "abc\r\n", [["X-Trailer", "t"]]),
                                  ("PUT", "ok", [])])

    def test_since_and_waiting_for_records(self):
        for i in range(3):
            self.get(f"/{i}")
        self.assertEqual([r["path"] for r in self.records(since=1)], ["/1", "/2"])
        status, answer = self.control("GET", "/requests?since=3")
        self.assertEqual((answer["requests"], answer["next"]), ([], 3))

        threading.Timer(0.3, lambda: self.get("/late")).start()
        start = time.monotonic()
        late = self.records(since=3, wait=5000)
        self.assertEqual([r["path"] for r in late], ["/late"])
        self.assertLess(time.monotonic() - start, 4)
        start = time.monotonic()
        self.assertEqual(self.records(since=0, wait=200, count=9)[-1]["path"], "/late")
        self.assertGreaterEqual(time.monotonic() - start, 0.15)

    def test_reset_clears_records_and_script(self):
        self.script({"response": {"body": "x"}})
        self.get("/")
        self.control("POST", "/reset")
        self.assertEqual(self.records(), [])
        self.assertEqual(self.get("/")[0].status, 404)
        self.assertEqual(self.records()[0]["index"], 0)


class MisbehaviourTest(ServerCase):
    def test_half_sent_requests_are_recorded_as_incomplete(self):
        cases = [
            (b"GET /half HTTP/1.1\r\nHost: x", "", "/half"),
            (b"POST /b HTTP/1.1\r\nContent-Length: 10\r\n\r\n1234", "1234", "/b"),
            (b"POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", "5\r\nab", "/c"),
        ]
        for data, body, path in cases:
            with self.subTest(data=data):
                self.control("POST", "/reset")
                with connect(self.main) as sock:
                    sock.sendall(data)
                    sock.shutdown(socket.SHUT_WR)
                    self.assertEqual(read_all(sock), b"")
                (record,) = self.records(wait=2000)
                self.assertFalse(record["complete"])
                self.assertEqual((record["path"], record["body"]), (path, body))
                self.assertEqual(record["head"].encode("latin-1") +
                                 record["body"].encode("latin-1"), data)

    def test_rude_clients_leave_the_server_serving(self):
        self.script({"response": {"body": "still here", "bytes_per_tick": 1, "tick_ms": 20}})
        # A reset in the middle of a slow answer, a reset before anything was
        # sent, a connection that never speaks, garbage, and an endless head.
        rude = connect(self.main)
        rude.sendall(b"GET / HTTP/1.1\r\n\r\n")
        rude.recv(10)
        rude.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        rude.close()
        quiet = connect(self.main)
        reset = connect(self.main)
        reset.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        reset.close()
        self.exchange(b"\x16\x03\x01\x00garbage\r\n\r\n")
        with connect(self.main) as endless:
            try:
                endless.sendall(b"GET / HTTP/1.1\r\nX: " + b"a" * (2 << 20))
            except OSError:
                pass
        self.assertEqual(self.get("/")[1], b"still here")
        quiet.close()
        self.assertEqual(self.control("GET", "/health")[0], 200)


class DaemonTest(unittest.TestCase):
    def run_script(self, *args, env=None):
        return subprocess.run([sys.executable, SCRIPT, *args], capture_output=True, text=True,
                              timeout=30, env=env)

    def test_start_listens_before_returning_and_stop_ends_it(self):
        ports = [free_port() for _ in range(3)]
        with tempfile.TemporaryDirectory() as tmp:
            pidfile, logfile = os.path.join(tmp, "s", "server.pid"), os.path.join(tmp, "server.log")
            env = dict(os.environ, PARVEL_TEST_CONTROL_PORT=str(ports[0]),
                       PARVEL_TEST_MAIN_PORT=str(ports[1]), PARVEL_TEST_SECOND_PORT=str(ports[2]),
                       PARVEL_TEST_THIRD_PORT=str(free_port()))
            started = self.run_script("start", "--pidfile", pidfile, "--logfile", logfile, env=env)
            self.assertEqual(started.returncode, 0, started.stderr)
            try:
                # No wait: the ports listen as soon as start has returned.
                conn = http.client.HTTPConnection("127.0.0.1", ports[0], timeout=5)
                conn.request("GET", "/health")
                health = json.loads(conn.getresponse().read())
                self.assertEqual(health["ports"][:2], ports[1:])
                with open(pidfile) as f:
                    pid = int(f.read())
                self.assertEqual(health["pid"], pid)
                with connect(ports[1]) as sock:
                    sock.sendall(b"GET /logged HTTP/1.0\r\n\r\n")
                    self.assertIn(b"404", read_all(sock))

                # A second copy cannot take the same ports and says why.
                second = self.run_script("run", "--port", str(ports[1]),
                                         "--control-port", str(free_port()))
                self.assertEqual(second.returncode, 1)
                self.assertIn(f"port {ports[1]}", second.stderr)
                self.assertIn("already in use", second.stderr)

                # Starting again with the same pidfile replaces the old daemon.
                again = self.run_script("start", "--pidfile", pidfile, "--logfile", logfile, env=env)
                self.assertEqual(again.returncode, 0, again.stderr)
                with open(pidfile) as f:
                    self.assertNotEqual(int(f.read()), pid)
            finally:
                stopped = self.run_script("stop", "--pidfile", pidfile)
            self.assertEqual(stopped.returncode, 0, stopped.stderr)
            self.assertFalse(os.path.exists(pidfile))
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", ports[0]), timeout=1).close()
            with open(logfile) as f:
                self.assertIn("GET /logged", f.read())
            # Stopping what is not running is not an error: cleanup may run twice.
            self.assertEqual(self.run_script("stop", "--pidfile", pidfile).returncode, 0)


if __name__ == "__main__":
    unittest.main()
