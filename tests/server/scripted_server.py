#!/usr/bin/env python3
"""Scripted HTTP server for the Windows tests.

It listens on 127.0.0.1 only: on one or more service ports, where the code
under test sends its requests, and on a control port, where a test sets the
script that answers them and reads back what arrived.

Command line
------------
    scripted_server.py [run]  [options]    serve in the foreground (Ctrl-C ends)
    scripted_server.py start  [options]    start as a daemon; returns once every
                                           port is listening (exit 0) or with
                                           exit 1 and the reason on stderr
    scripted_server.py stop   --pidfile F  end the daemon named by F and wait
                                           for it; succeeds if none runs

    --port N          a service port; repeat for more. The first one is the
                      main port. Default: $PARVEL_TEST_MAIN_PORT (47321),
                      $PARVEL_TEST_SECOND_PORT (47322), $PARVEL_TEST_THIRD_PORT
                      (47323).
    --control-port N  default $PARVEL_TEST_CONTROL_PORT (47320).
    --pidfile F       written by the daemon once it listens; removed at exit.
    --logfile F       one line per request and every fault (default: stderr
                      in the foreground, nothing for a daemon).

Port 0 picks a free port; GET /health tells which ports were taken.

Byte strings in JSON
--------------------
Requests and responses are bytes, and tests compare them exactly. In every
JSON document of the control API a byte string is a JSON string whose
characters U+0000..U+00FF stand for the bytes 0..255 (Latin-1). The server
writes pure ASCII JSON, so bytes outside printable ASCII appear as \\u00XX
escapes (or \\r, \\n, \\t). A character above U+00FF in such a string is an
error. Where noted, FIELD_b64 (base64) or FIELD_text (Unicode text sent as
UTF-8) may be given instead of FIELD.

Control API (plain HTTP/1.0, JSON bodies, answers {"ok": true, ...} or a
4xx status with {"ok": false, "error": "..."})
--------------------------------------------------------------------------
    GET  /health                  {"ok", "pid", "control_port", "ports", "requests"}
    POST /reset                   clear script and records, close every open
                                  service connection (held ones included)
    POST /script                  replace the script; body: a rule, a list of
                                  rules, or {"rules": [...]}
    POST /script/append           append rules (same body forms)
    GET  /script                  the script with each rule's progress
    GET  /requests?since=N&wait=MS&count=K
                                  records with index >= N (default 0); with
                                  wait, holds the answer up to MS ms until at
                                  least K records (default N + 1) exist.
                                  Answer: {"ok", "requests": [...], "next": total}
    POST /shutdown                end the server

Script
------
A script is a list of rules. A request is answered by the first rule that
matches it and still has a response left; with none, the answer is 404 with
the text body "no rule for <target>".

    rule = {
      "port": 0,            # service port to match, 0 or absent = any
      "method": "GET",      # exact, case-sensitive; "" or absent = any
      "path": "/x",         # byte string
      "match": "exact",     # "exact" (default when a path is given),
                            # "prefix", or "any" (default without a path)
      "responses": [resp, ...]   # or "response": resp
    }

"exact" compares the path with the request's path without its query (the
part before the first "?"), or with the whole target when the rule's path
holds a "?". "prefix" compares with the start of the whole target. A target
in absolute form (http://host:port/path, as sent to a proxy) is matched by its
path from the first "/" after the host.

Responses are used in order. Each is used "count" times (default 1) before
the next one; the last one repeats for ever unless it has a count of its own,
after which the rule is used up and later rules get their turn.

    resp = {
      "status": 200, "reason": "OK",   # reason defaults to the standard one
      "version": "HTTP/1.1",
      "headers": [["Name", "value"], ...],   # in order, duplicates kept
      "body": "...",                   # or body_b64 / body_text
      "count": 1,
      # delivery
      "no_content_length": false,      # no Content-Length; body ends at close
      "chunked": false,                # Transfer-Encoding: chunked
      "chunk_size": 0,                 # bytes per chunk (0 = one chunk)
      "cut_after": -1,                 # send only N body bytes, then close
      "hold": false,                   # with cut_after: stay silent instead
                                       # of closing (until client or reset)
      "delay_headers_ms": 0,           # pause before the status line
      "delay_body_ms": 0,              # pause between head and body
      "bytes_per_tick": 0, "tick_ms": 0,   # send the body N bytes at a time,
                                       # pausing tick_ms between pieces; in
                                       # chunked mode each piece is a chunk
      "silent": false,                 # read the request, never answer
      "hold_ms": 0,                    # silent and hold end (close) after
                                       # this long; 0 = no limit. Wine's
                                       # WinHTTP waits for response headers
                                       # without limit unless the client sets
                                       # a receive-response time-out
      "close_without_answer": false,   # read the request, close at once
      "reset": false,                  # close with a TCP reset, not FIN
      "close": false,                  # add "Connection: close" and close
      "raw": "..."                     # or raw_b64: these exact bytes are
                                       # the whole answer (no framing), then
                                       # close; delays, ticks and cut apply
    }

Content-Length is added unless the headers name one themselves (then the
connection closes after the answer, since the body may disagree), or
no_content_length or chunked is set. A redirect is a 30x status with a
Location header. Connections stay open between requests (HTTP/1.1) unless the
request or the response says close, or the body is close-delimited.

Records
-------
Every request that sent at least one byte is recorded as soon as it has been
read, before it is answered:

    {"index", "port", "connection", "time" (monotonic seconds, first byte),
     "complete" (false: the client stopped mid-request),
     "head" (every byte up to and including the blank line),
     "request_line" (raw bytes up to the first CR LF, without it; lines
     end only at CR LF, so a bare CR or LF stays in the line it came in),
     "method", "target", "version", "path", "query", "decoded_target",
     "headers": [[name, value], ...] (as received, values without the
     surrounding blanks), "body" (Content-Length or de-chunked bytes; for
     an incomplete request the raw bytes that came after the head),
     "trailers", "rule", "response" (indexes of what answered; -1 = none)}
"""

import argparse
import base64
import binascii
import errno
import http
import http.server
import json
import logging
import os
import select
import signal
import socket
import struct
import sys
import threading
import time
import traceback
import urllib.parse

HOST = "127.0.0.1"
DEFAULT_CONTROL_PORT = 47320
DEFAULT_MAIN_PORT = 47321
DEFAULT_SECOND_PORT = 47322
DEFAULT_THIRD_PORT = 47323

MAX_HEAD_BYTES = 1 << 20
MAX_BODY_BYTES = 256 << 20

log = logging.getLogger("scripted_server")


class ScriptError(ValueError):
    """A script that cannot be used; the control API answers 400 with it."""


# --- byte strings in JSON --------------------------------------------------

def text_of(data):
    """Bytes as the Latin-1 JSON string that stands for them."""
    return data.decode("latin-1")


def bytes_of(value, name):
    if not isinstance(value, str):
        raise ScriptError(f"{name}: expected a string, got {type(value).__name__}")
    try:
        return value.encode("latin-1")
    except UnicodeEncodeError:
        raise ScriptError(
            f"{name}: characters above U+00FF; use {name}_text for text or {name}_b64")


def field_bytes(obj, name, default=None):
    """Reads FIELD, FIELD_b64 or FIELD_text from a JSON object as bytes."""
    given = [k for k in (name, name + "_b64", name + "_text") if k in obj]
    if len(given) > 1:
        raise ScriptError(f"give only one of {', '.join(given)}")
    if not given:
        return default
    key = given[0]
    value = obj[key]
    if key.endswith("_b64"):
        if not isinstance(value, str):
            raise ScriptError(f"{key}: expected a string")
        try:
            return base64.b64decode(value, validate=True)
        except (binascii.Error, ValueError) as e:
            raise ScriptError(f"{key}: {e}")
    if key.endswith("_text"):
        if not isinstance(value, str):
            raise ScriptError(f"{key}: expected a string")
        return value.encode("utf-8")
    return bytes_of(value, name)


def int_field(obj, name, default, minimum=None):
    value = obj.get(name, default)
    if isinstance(value, bool) or not isinstance(value, int):
        raise ScriptError(f"{name}: expected an integer")
    if minimum is not None and value < minimum:
        raise ScriptError(f"{name}: must be at least {minimum}")
    return value


def bool_field(obj, name):
    value = obj.get(name, False)
    if not isinstance(value, bool):
        raise ScriptError(f"{name}: expected true or false")
    return value


# --- script ------------------------------------------------------------------

RESPONSE_KEYS = {
    "status", "reason", "version", "headers", "body", "body_b64", "body_text",
    "count", "no_content_length", "chunked", "chunk_size", "cut_after", "hold",
    "delay_headers_ms", "delay_body_ms", "bytes_per_tick", "tick_ms", "silent",
    "close_without_answer", "reset", "close", "raw", "raw_b64", "raw_text", "hold_ms",
}
RULE_KEYS = {"port", "method", "path", "match", "responses", "response"}


class ResponseSpec:
    def __init__(self, obj):
        if not isinstance(obj, dict):
            raise ScriptError("a response must be an object")
        unknown = set(obj) - RESPONSE_KEYS
        if unknown:
            raise ScriptError(f"unknown response fields: {', '.join(sorted(unknown))}")
        self.source = obj
        self.status = int_field(obj, "status", 200, 0)
        if self.status > 999:
            raise ScriptError("status: must have at most three digits")
        if "reason" in obj:
            self.reason = bytes_of(obj["reason"], "reason")
        else:
            try:
                self.reason = http.HTTPStatus(self.status).phrase.encode("latin-1")
            except ValueError:
                self.reason = b""
        self.version = bytes_of(obj.get("version", "HTTP/1.1"), "version")
        headers = obj.get("headers", [])
        if not isinstance(headers, list):
            raise ScriptError("headers: expected a list of [name, value] pairs")
        self.headers = []
        for pair in headers:
            if not isinstance(pair, list) or len(pair) != 2:
                raise ScriptError("headers: expected a list of [name, value] pairs")
            self.headers.append((bytes_of(pair[0], "header name"),
                                 bytes_of(pair[1], "header value")))
        self.body = field_bytes(obj, "body", b"")
        self.count = int_field(obj, "count", None, 1) if "count" in obj else None
        self.no_content_length = bool_field(obj, "no_content_length")
        self.chunked = bool_field(obj, "chunked")
        self.chunk_size = int_field(obj, "chunk_size", 0, 0)
        self.cut_after = int_field(obj, "cut_after", -1, -1)
        self.hold = bool_field(obj, "hold")
        self.delay_headers = int_field(obj, "delay_headers_ms", 0, 0) / 1000.0
        self.delay_body = int_field(obj, "delay_body_ms", 0, 0) / 1000.0
        self.bytes_per_tick = int_field(obj, "bytes_per_tick", 0, 0)
        self.tick = int_field(obj, "tick_ms", 0, 0) / 1000.0
        self.silent = bool_field(obj, "silent")
        self.hold_limit = int_field(obj, "hold_ms", 0, 0) / 1000.0
        self.close_without_answer = bool_field(obj, "close_without_answer")
        self.reset = bool_field(obj, "reset")
        self.close = bool_field(obj, "close")
        self.raw = field_bytes(obj, "raw", None)
        if self.chunked and self.no_content_length:
            raise ScriptError("chunked and no_content_length exclude each other")

    def header_named(self, name):
        lower = name.lower()
        return [v for n, v in self.headers if n.strip().lower() == lower]


class Rule:
    def __init__(self, obj):
        if not isinstance(obj, dict):
            raise ScriptError("a rule must be an object")
        unknown = set(obj) - RULE_KEYS
        if unknown:
            raise ScriptError(f"unknown rule fields: {', '.join(sorted(unknown))}")
        self.source = obj
        self.port = int_field(obj, "port", 0, 0)
        method = obj.get("method", "")
        self.method = bytes_of(method, "method") if method is not None else b""
        self.path = bytes_of(obj["path"], "path") if obj.get("path") is not None else None
        self.match = obj.get("match", "exact" if self.path is not None else "any")
        if self.match not in ("exact", "prefix", "any"):
            raise ScriptError('match: expected "exact", "prefix" or "any"')
        if self.match != "any" and self.path is None:
            raise ScriptError(f'match "{self.match}" needs a path')
        if "responses" in obj and "response" in obj:
            raise ScriptError("give either responses or response")
        responses = obj.get("responses", [obj["response"]] if "response" in obj else None)
        if not isinstance(responses, list) or not responses:
            raise ScriptError("a rule needs at least one response")
        self.responses = [ResponseSpec(r) for r in responses]
        self.position = 0   # index of the response in turn
        self.used = 0       # times it has been used so far
        self.answered = 0

    def matches(self, port, method, path, target):
        if self.port and self.port != port:
            return False
        if self.method and self.method != method:
            return False
        if self.match == "any":
            return True
        if self.match == "prefix":
            return target.startswith(self.path)
        return (target if b"?" in self.path else path) == self.path

    def take(self):
        """The next response and its index, or None when the rule is used up."""
        if self.position >= len(self.responses):
            return None
        index = self.position
        spec = self.responses[index]
        last = index == len(self.responses) - 1
        self.used += 1
        self.answered += 1
        if not last or spec.count is not None:
            if self.used >= (spec.count or 1):
                self.position += 1
                self.used = 0
        return index, spec

    def describe(self):
        return dict(self.source, state={"next_response": self.position,
                                        "used": self.used,
                                        "answered": self.answered,
                                        "used_up": self.position >= len(self.responses)})


def parse_rules(document):
    if isinstance(document, dict) and "rules" in document:
        document = document["rules"]
    if isinstance(document, dict):
        document = [document]
    if not isinstance(document, list):
        raise ScriptError("expected a rule, a list of rules or {\"rules\": [...]}")
    rules = []
    for i, obj in enumerate(document):
        try:
            rules.append(Rule(obj))
        except ScriptError as e:
            raise ScriptError(f"rule {i}: {e}")
    return rules


# --- requests ----------------------------------------------------------------

class ClientGone(Exception):
    """The client closed or reset the connection, or the server dropped it."""


class Reader:
    """Buffered reads from a connection. Everything taken since the start of
    the current request is kept, so a request cut off half-way can still be
    recorded byte for byte."""

    def __init__(self, conn):
        self.conn = conn
        self.buffer = b""
        self.taken = b""

    def fill(self):
        try:
            data = self.conn.sock.recv(65536)
        except OSError:
            data = b""
        if not data:
            raise ClientGone()
        self.buffer += data

    def take(self, n):
        while len(self.buffer) < n:
            self.fill()
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        self.taken += data
        return data

    def take_line(self, limit):
        """Bytes up to and including the next CR LF; a bare CR or LF does not
        end a line, so it stays in the record exactly as it came."""
        while True:
            at = self.buffer.find(b"\r\n")
            if at >= 0:
                return self.take(at + 2)
            if len(self.buffer) > limit:
                raise ClientGone()
            self.fill()


def split_head(head):
    """Request line parts and headers of a raw head (ending in CR LF CR LF)."""
    lines = head[:-4].split(b"\r\n") if head.endswith(b"\r\n\r\n") else head.split(b"\r\n")
    request_line = lines[0]
    first = request_line.find(b" ")
    method = request_line if first < 0 else request_line[:first]
    rest = b"" if first < 0 else request_line[first + 1:]
    last = rest.rfind(b" ")
    if last >= 0 and rest[last + 1:].startswith(b"HTTP/"):
        target, version = rest[:last], rest[last + 1:]
    else:
        target, version = rest, b""
    headers = []
    for line in lines[1:]:
        colon = line.find(b":")
        if colon < 0:
            headers.append((b"", line))
        else:
            headers.append((line[:colon], line[colon + 1:].strip(b" \t")))
    return request_line, method, target, version, headers


def origin_form(target):
    """The target from its path on: absolute form loses scheme and host."""
    lower = target[:8].lower()
    if lower.startswith(b"http://") or lower.startswith(b"https://"):
        start = target.find(b"/", target.find(b"//") + 2)
        return target[start:] if start >= 0 else b"/"
    return target


def header_values(headers, name):
    return [v for n, v in headers if n.strip().lower() == name]


class Connection:
    def __init__(self, server, sock, port, number):
        self.server = server
        self.sock = sock
        self.port = port
        self.number = number
        self.aborted = threading.Event()

    def abort(self):
        """Ends the connection from another thread: wakes any blocked read."""
        self.aborted.set()
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def pause(self, seconds):
        if seconds > 0 and self.aborted.wait(seconds):
            raise ClientGone()

    def send(self, data):
        if self.aborted.is_set():
            raise ClientGone()
        try:
            self.sock.sendall(data)
        except OSError:
            raise ClientGone()

    def hold(self, limit=0.0):
        """Stays silent until the client closes, the server drops us, or the
        limit (seconds; 0 = none) has passed."""
        deadline = time.monotonic() + limit if limit > 0 else None
        while not self.aborted.is_set():
            wait = None if deadline is None else deadline - time.monotonic()
            if wait is not None and wait <= 0:
                return
            try:
                readable, _, _ = select.select([self.sock], [], [], wait)
                if readable and not self.sock.recv(65536):
                    return
            except (OSError, ValueError):
                return

    def close(self, reset=False):
        try:
            if reset:
                # A zero linger time turns close into a TCP reset.
                self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                     struct.pack("ii", 1, 0))
            else:
                self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        try:
            self.sock.close()
        except OSError:
            pass

    # One request: returns its record, or None when no byte arrived.
    def read_request(self, reader):
        try:
            if not reader.buffer:
                reader.fill()
        except ClientGone:
            return None
        record = {"port": self.port, "connection": self.number, "complete": False,
                  "time": time.monotonic()}
        head = None
        try:
            head = self.read_head(reader)
            self.describe_head(record, head)
            body, trailers = self.read_body(reader, split_head(head)[4])
            record["body"] = text_of(body)
            record["trailers"] = [[text_of(n), text_of(v)] for n, v in trailers]
            record["complete"] = True
        except ClientGone:
            # The client stopped half-way: keep what came, framing and all.
            arrived = reader.taken + reader.buffer
            reader.buffer = b""
            if head is None:
                self.describe_head(record, arrived)
                record["body"] = ""
            else:
                record["body"] = text_of(arrived[len(head):])
            record["trailers"] = []
        return record

    @staticmethod
    def read_head(reader):
        while True:
            reader.taken = b""
            line = reader.take_line(MAX_HEAD_BYTES)
            if line != b"\r\n":
                break
            # Blank lines before a request line are skipped, as servers do.
        head = line
        while line != b"\r\n":
            line = reader.take_line(MAX_HEAD_BYTES - len(head))
            head += line
        return head

    @staticmethod
    def describe_head(record, head):
        request_line, method, target, version, headers = split_head(head)
        origin = origin_form(target)
        path, _, query = origin.partition(b"?")
        record.update(
            head=text_of(head), request_line=text_of(request_line),
            method=text_of(method), target=text_of(target), version=text_of(version),
            path=text_of(path), query=text_of(query),
            decoded_target=text_of(urllib.parse.unquote_to_bytes(target)),
            headers=[[text_of(n), text_of(v)] for n, v in headers])

    def read_body(self, reader, headers):
        if any(b"100-continue" in v.lower() for v in header_values(headers, b"expect")):
            self.send(b"HTTP/1.1 100 Continue\r\n\r\n")
        encoding = b",".join(header_values(headers, b"transfer-encoding")).lower()
        if b"chunked" in encoding:
            return self.read_chunked(reader)
        lengths = header_values(headers, b"content-length")
        if lengths:
            try:
                length = int(lengths[0])
            except ValueError:
                raise ClientGone()
            if length < 0 or length > MAX_BODY_BYTES:
                raise ClientGone()
            return reader.take(length), []
        return b"", []

    @staticmethod
    def read_chunked(reader):
        body = b""
        while True:
            size_line = reader.take_line(4096)
            try:
                size = int(size_line.split(b";")[0].strip(), 16)
            except ValueError:
                raise ClientGone()
            if size == 0:
                break
            if size < 0 or len(body) + size > MAX_BODY_BYTES:
                raise ClientGone()
            body += reader.take(size)
            if reader.take(2) != b"\r\n":
                raise ClientGone()
        trailers = []
        while True:
            line = reader.take_line(MAX_HEAD_BYTES)
            if line == b"\r\n":
                break
            name, _, value = line[:-2].partition(b":")
            trailers.append((name, value.strip(b" \t")))
        return body, trailers

    # One answer: returns whether the connection may carry another request.
    def answer(self, record, spec):
        method = record["method"].encode("latin-1")
        request_headers = [(n.encode("latin-1"), v.encode("latin-1")) for n, v in record["headers"]]
        if spec.close_without_answer:
            self.close(reset=spec.reset)
            return False
        if spec.silent:
            self.hold(spec.hold_limit)
            self.close(reset=spec.reset)
            return False
        self.pause(spec.delay_headers)

        if spec.raw is not None:
            self.deliver(spec.raw, spec, chunked=False)
            return False

        # Bodiless answers carry no framing; HEAD announces the body it omits.
        bodiless = spec.status in (204, 304) or 100 <= spec.status < 200
        body = b"" if method == b"HEAD" or bodiless else spec.body
        headers = list(spec.headers)
        keep_alive = True
        if spec.chunked:
            if not spec.header_named(b"transfer-encoding"):
                headers.append((b"Transfer-Encoding", b"chunked"))
        elif spec.no_content_length:
            keep_alive = False
        elif spec.header_named(b"content-length") or spec.header_named(b"transfer-encoding"):
            # The script frames the body itself and may lie: only a close
            # leaves the client in no doubt where the answer ends.
            keep_alive = False
        elif not bodiless:
            headers.append((b"Content-Length", str(len(spec.body)).encode()))
        connection = b",".join(header_values(request_headers, b"connection")).lower()
        version = record["version"].encode("latin-1")
        # Only HTTP/1.1, or 1.0 that asks for it, keeps the connection; a
        # request line without a version cannot.
        if version == b"HTTP/1.0":
            persistent = b"keep-alive" in connection
        else:
            persistent = version == b"HTTP/1.1" and b"close" not in connection
        if spec.close or not persistent:
            keep_alive = False
        if spec.close and not spec.header_named(b"connection"):
            headers.append((b"Connection", b"close"))

        head = spec.version + b" " + str(spec.status).encode() + b" " + spec.reason + b"\r\n"
        head += b"".join(n + b": " + v + b"\r\n" for n, v in headers) + b"\r\n"
        self.send(head)
        self.pause(spec.delay_body)
        cut = self.deliver(body, spec, chunked=spec.chunked and method != b"HEAD" and not bodiless)
        return keep_alive and not cut

    def deliver(self, body, spec, chunked):
        """Sends the body (framed when chunked), piece by piece when ticks are
        asked for; returns whether the connection has been ended."""
        limit = spec.cut_after if 0 <= spec.cut_after < len(body) else None
        size = spec.bytes_per_tick or (spec.chunk_size if chunked else 0) or len(body) or 1
        for start in range(0, len(body), size):
            piece = body[start:start + size]
            if limit is not None and start >= limit and not chunked:
                break
            if start > 0:
                self.pause(spec.tick)
            if limit is not None and start + len(piece) > limit:
                # The cut chunk still announces its whole size, as a sender
                # that died mid-chunk would have.
                self.send((b"%x\r\n" % len(piece) if chunked else b"") + piece[:limit - start])
                break
            self.send(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
        if chunked and limit is None:
            self.send(b"0\r\n\r\n")
        if limit is not None or spec.raw is not None:
            if spec.hold:
                self.hold(spec.hold_limit)
            self.close(reset=spec.reset)
            return True
        return False

    def serve(self):
        reader = Reader(self)
        try:
            while not self.aborted.is_set():
                record = self.read_request(reader)
                if record is None:
                    break
                rule_index, response_index, spec = -1, -1, None
                if record["complete"]:
                    rule_index, response_index, spec = self.server.match(record)
                record["rule"], record["response"] = rule_index, response_index
                index = self.server.recorder.add(record)
                status = ("incomplete" if not record["complete"]
                          else spec.status if spec else 404)
                log.info("port %d conn %d #%d: %r -> rule %d response %d (%s)",
                         self.port, self.number, index,
                         record["request_line"].encode("latin-1"),
                         rule_index, response_index, status)
                if not record["complete"]:
                    break
                if spec is None:
                    spec = ResponseSpec({
                        "status": 404,
                        "headers": [["Content-Type", "text/plain"]],
                        "body": "no rule for " + record["target"]})
                if not self.answer(record, spec):
                    break
        except ClientGone:
            pass
        except Exception:
            log.error("port %d conn %d: %s", self.port, self.number, traceback.format_exc())
        finally:
            self.close()
            self.server.forget(self)


class Recorder:
    def __init__(self):
        self.records = []
        self.changed = threading.Condition()

    def add(self, record):
        with self.changed:
            record["index"] = len(self.records)
            self.records.append(record)
            self.changed.notify_all()
            return record["index"]

    def clear(self):
        with self.changed:
            self.records = []
            self.changed.notify_all()

    def since(self, start, wait=0.0, count=None):
        deadline = time.monotonic() + wait
        with self.changed:
            want = start + 1 if count is None else count
            while len(self.records) < want:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.changed.wait(left)
            return self.records[start:], len(self.records)


# --- control API -------------------------------------------------------------

class ControlHandler(http.server.BaseHTTPRequestHandler):
    server_version = "ScriptedServerControl"

    def log_message(self, fmt, *args):
        log.debug("control: " + fmt, *args)

    def reply(self, status, document):
        data = json.dumps(document, ensure_ascii=True).encode("ascii")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def document(self):
        length = int(self.headers.get("Content-Length") or 0)
        data = self.rfile.read(length) if length else b""
        if not data.strip():
            return None
        try:
            return json.loads(data.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as e:
            raise ScriptError(f"the body is not JSON: {e}")

    def handle_one(self, method):
        scripted = self.server.scripted
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        route = (method, url.path.rstrip("/") or "/")
        try:
            if route == ("GET", "/health"):
                self.reply(200, {"ok": True, "pid": os.getpid(),
                                 "control_port": scripted.control_port,
                                 "ports": scripted.ports,
                                 "requests": len(scripted.recorder.records)})
            elif route == ("POST", "/reset"):
                self.document()
                scripted.reset()
                self.reply(200, {"ok": True})
            elif route == ("POST", "/script"):
                scripted.set_script(parse_rules(self.document()))
                self.reply(200, {"ok": True})
            elif route == ("POST", "/script/append"):
                scripted.append_script(parse_rules(self.document()))
                self.reply(200, {"ok": True})
            elif route == ("GET", "/script"):
                self.reply(200, {"ok": True, "rules": scripted.describe_script()})
            elif route == ("GET", "/requests"):
                def number(name, default):
                    try:
                        return max(0, int(query.get(name, [default])[0]))
                    except ValueError:
                        raise ScriptError(f"{name}: expected a number")
                since = number("since", 0)
                count = number("count", since + 1)
                wait = min(number("wait", 0), 600000) / 1000.0
                records, total = scripted.recorder.since(since, wait, count)
                self.reply(200, {"ok": True, "requests": records, "next": total})
            elif route == ("POST", "/shutdown"):
                self.reply(200, {"ok": True})
                threading.Thread(target=scripted.stop, daemon=True).start()
            else:
                self.reply(404, {"ok": False, "error": f"no such call: {method} {url.path}"})
        except ScriptError as e:
            self.reply(400, {"ok": False, "error": str(e)})

    def do_GET(self):
        self.handle_one("GET")

    def do_POST(self):
        self.handle_one("POST")

    def do_PUT(self):
        self.handle_one("PUT")

    def do_DELETE(self):
        self.handle_one("DELETE")


class ControlServer(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        log.error("control: %s", traceback.format_exc())


# --- the server --------------------------------------------------------------

def listen_on(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((HOST, port))
    except OSError as e:
        sock.close()
        if e.errno == errno.EADDRINUSE:
            raise OSError(e.errno, f"port {port} on {HOST} is already in use "
                                   "(another copy of the server?)")
        raise
    sock.listen(128)
    return sock


class ScriptedServer:
    """The whole server. bind() takes the ports; start() begins serving."""

    def __init__(self, ports, control_port):
        self.requested_ports = list(ports)
        self.requested_control_port = control_port
        self.listeners = []
        self.control = None
        self.ports = []
        self.control_port = None
        self.lock = threading.Lock()
        self.rules = []
        self.connections = set()
        self.connection_count = 0
        self.recorder = Recorder()
        self.stopped = threading.Event()
        self.threads = []

    def bind(self):
        try:
            for port in self.requested_ports:
                sock = listen_on(port)
                self.listeners.append(sock)
                self.ports.append(sock.getsockname()[1])
            self.control = ControlServer((HOST, self.requested_control_port),
                                         ControlHandler, bind_and_activate=False)
            self.control.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                self.control.server_bind()
            except OSError as e:
                if e.errno == errno.EADDRINUSE:
                    raise OSError(e.errno, f"control port {self.requested_control_port} on "
                                           f"{HOST} is already in use (another copy of the server?)")
                raise
            self.control.server_activate()
            self.control.scripted = self
            self.control_port = self.control.server_address[1]
        except OSError:
            self.close_listeners()
            raise
        return self

    def start(self):
        if not self.listeners:
            self.bind()
        for sock, port in zip(self.listeners, self.ports):
            self.spawn(self.accept_loop, sock, port)
        self.spawn(self.control.serve_forever, 0.2)
        log.info("listening on %s: service ports %s, control port %d",
                 HOST, self.ports, self.control_port)
        return self

    def spawn(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        thread.start()
        self.threads.append(thread)

    def accept_loop(self, listener, port):
        listener.settimeout(0.2)
        while not self.stopped.is_set():
            try:
                sock, _ = listener.accept()
            except socket.timeout:
                continue
            except OSError as e:
                if self.stopped.is_set():
                    return
                # Out of descriptors and the like: wait a moment, keep serving.
                log.error("port %d: accept failed: %s", port, e)
                time.sleep(0.1)
                continue
            try:
                sock.setblocking(True)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            except OSError:
                pass
            with self.lock:
                self.connection_count += 1
                conn = Connection(self, sock, port, self.connection_count)
                self.connections.add(conn)
            threading.Thread(target=conn.serve, daemon=True).start()

    def forget(self, conn):
        with self.lock:
            self.connections.discard(conn)

    def match(self, record):
        method = record["method"].encode("latin-1")
        target = origin_form(record["target"].encode("latin-1"))
        path = target.partition(b"?")[0]
        with self.lock:
            for i, rule in enumerate(self.rules):
                if rule.matches(record["port"], method, path, target):
                    taken = rule.take()
                    if taken is not None:
                        return i, taken[0], taken[1]
        return -1, -1, None

    def set_script(self, rules):
        with self.lock:
            self.rules = list(rules)
        log.info("script set: %d rules", len(rules))

    def append_script(self, rules):
        with self.lock:
            self.rules.extend(rules)
        log.info("script appended: %d rules", len(rules))

    def describe_script(self):
        with self.lock:
            return [rule.describe() for rule in self.rules]

    def drop_connections(self):
        with self.lock:
            connections = list(self.connections)
        for conn in connections:
            conn.abort()

    def reset(self):
        with self.lock:
            self.rules = []
        self.drop_connections()
        self.recorder.clear()
        log.info("reset")

    def close_listeners(self):
        for sock in self.listeners:
            try:
                sock.close()
            except OSError:
                pass
        if self.control is not None:
            self.control.server_close()

    def stop(self):
        if self.stopped.is_set():
            return
        self.stopped.set()
        if self.control is not None:
            self.control.shutdown()
        self.drop_connections()
        for thread in self.threads:
            if thread is not threading.current_thread():
                thread.join(2)
        self.close_listeners()
        log.info("stopped")

    def wait(self):
        # A timed wait lets the signal handlers of the main thread run.
        while not self.stopped.wait(0.5):
            pass


# --- command line ------------------------------------------------------------

def env_port(name, default):
    value = os.environ.get(name, "").strip()
    if not value:
        return default
    try:
        return int(value)
    except ValueError:
        raise SystemExit(f"{name}={value!r} is not a port number")


def default_ports():
    return [env_port("PARVEL_TEST_MAIN_PORT", DEFAULT_MAIN_PORT),
            env_port("PARVEL_TEST_SECOND_PORT", DEFAULT_SECOND_PORT),
            env_port("PARVEL_TEST_THIRD_PORT", DEFAULT_THIRD_PORT)]


def setup_logging(logfile):
    handler = (logging.FileHandler(logfile) if logfile
               else logging.StreamHandler(sys.stderr))
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.INFO)


def read_pid(pidfile):
    try:
        with open(pidfile) as f:
            return int(f.read().strip())
    except (OSError, ValueError):
        return None


def is_our_server(pid):
    """Whether pid is alive and runs this script (not some reused pid)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return False
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return os.path.basename(__file__).encode() in f.read()
    except OSError:
        return True


def stop_daemon(pidfile, quiet=False):
    pid = read_pid(pidfile)
    if pid is None or not is_our_server(pid):
        if not quiet:
            print(f"scripted_server: no server running for {pidfile}")
        try:
            os.unlink(pidfile)
        except OSError:
            pass
        return 0
    os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and is_our_server(pid):
        time.sleep(0.05)
    if is_our_server(pid):
        os.kill(pid, signal.SIGKILL)
        time.sleep(0.2)
    try:
        os.unlink(pidfile)
    except OSError:
        pass
    if not quiet:
        print(f"scripted_server: stopped pid {pid}")
    return 0


def install_signal_handlers(server):
    def stop(signum, frame):
        threading.Thread(target=server.stop, daemon=True).start()
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    if hasattr(signal, "SIGHUP"):
        signal.signal(signal.SIGHUP, stop)


def write_pidfile(pidfile):
    if pidfile:
        tmp = pidfile + ".tmp"
        with open(tmp, "w") as f:
            f.write(f"{os.getpid()}\n")
        os.replace(tmp, pidfile)


def remove_pidfile(pidfile):
    if pidfile and read_pid(pidfile) == os.getpid():
        try:
            os.unlink(pidfile)
        except OSError:
            pass


def run_foreground(args, ports):
    setup_logging(args.logfile)
    server = ScriptedServer(ports, args.control_port)
    try:
        server.bind()
    except OSError as e:
        print(f"scripted_server: {e.strerror or e}", file=sys.stderr)
        return 1
    write_pidfile(args.pidfile)
    install_signal_handlers(server)
    server.start()
    print(f"scripted_server: listening on {HOST}, service ports "
          f"{' '.join(map(str, server.ports))}, control port {server.control_port}",
          flush=True)
    try:
        server.wait()
    finally:
        remove_pidfile(args.pidfile)
    return 0


def run_daemon(args, ports):
    if not args.pidfile:
        print("scripted_server: start needs --pidfile", file=sys.stderr)
        return 2
    for path in (args.pidfile, args.logfile):
        if path:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    # A server left over from an interrupted run of the same tree holds our
    # ports; it is ours to end.
    stale = read_pid(args.pidfile)
    if stale is not None and is_our_server(stale):
        stop_daemon(args.pidfile, quiet=True)

    # The ports are bound here, before the fork, so that a port in use is
    # reported by this process and the caller finds them listening once we
    # return.
    server = ScriptedServer(ports, args.control_port)
    try:
        server.bind()
    except OSError as e:
        print(f"scripted_server: {e.strerror or e}", file=sys.stderr)
        return 1

    ready_read, ready_write = os.pipe()
    if os.fork() > 0:
        os.close(ready_write)
        message = b""
        while True:
            chunk = os.read(ready_read, 4096)
            if not chunk:
                break
            message += chunk
        server.close_listeners()
        if message.startswith(b"ready"):
            print(f"scripted_server: {message[6:].decode()}", flush=True)
            return 0
        print(f"scripted_server: the daemon failed to start: {message.decode(errors='replace')}",
              file=sys.stderr)
        return 1

    # First child: leave the caller's session, then fork once more so the
    # daemon can never regain a terminal.
    os.close(ready_read)
    os.setsid()
    if os.fork() > 0:
        os._exit(0)
    try:
        # Nothing of the caller's stdio may stay open: ctest waits for its
        # pipes to close before it counts a test as finished.
        devnull = os.open(os.devnull, os.O_RDWR)
        out = os.open(args.logfile, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644) \
            if args.logfile else devnull
        os.dup2(devnull, 0)
        os.dup2(out, 1)
        os.dup2(out, 2)
        os.chdir("/")
        if args.logfile:
            setup_logging(args.logfile)
        else:
            log.addHandler(logging.NullHandler())
        install_signal_handlers(server)
        server.start()
        write_pidfile(args.pidfile)
        os.write(ready_write, (f"ready pid {os.getpid()}, service ports "
                               f"{' '.join(map(str, server.ports))}, control port "
                               f"{server.control_port}").encode())
        os.close(ready_write)
    except Exception:
        try:
            os.write(ready_write, traceback.format_exc().encode())
        finally:
            os._exit(1)
    try:
        server.wait()
    finally:
        remove_pidfile(args.pidfile)
    os._exit(0)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Scripted HTTP server for the Windows tests.")
    parser.add_argument("command", nargs="?", default="run", choices=("run", "start", "stop"))
    parser.add_argument("--port", type=int, action="append", dest="ports",
                        help="service port (repeat for more; the first is the main port)")
    parser.add_argument("--control-port", type=int,
                        default=env_port("PARVEL_TEST_CONTROL_PORT", DEFAULT_CONTROL_PORT))
    parser.add_argument("--pidfile")
    parser.add_argument("--logfile")
    args = parser.parse_args(argv)
    ports = args.ports or default_ports()
    if args.command == "stop":
        if not args.pidfile:
            parser.error("stop needs --pidfile")
        return stop_daemon(args.pidfile)
    if args.command == "start":
        return run_daemon(args, ports)
    return run_foreground(args, ports)


if __name__ == "__main__":
    sys.exit(main())
