#!/usr/bin/python3
"""Writes the seed inputs of fuzz/corpus/<target>/ (run from anywhere; it
replaces the seed folders). Targets that take several inputs read them with
libFuzzer's FuzzedDataProvider: strings from the front of the file (a backslash
followed by another character ends one, two backslashes are one), numbers and
flags from the back, last byte first; Seed builds files in that layout."""
import hashlib
import json
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


class Seed:
    def __init__(self):
        self.front = b""
        self.back = []  # in the order the target consumes them

    def string(self, text):
        data = text.encode() if isinstance(text, str) else text
        self.front += data.replace(b"\\", b"\\\\") + b"\\x"
        return self

    def rest(self, text):
        self.front += text.encode() if isinstance(text, str) else text
        return self

    def flag(self, value):
        self.back.append(1 if value else 0)
        return self

    def choice(self, value):  # an integer in a range of at most 256 values
        self.back.append(value)
        return self

    def status(self, code):  # ConsumeIntegralInRange(100, 599): two bytes
        offset = code - 100
        self.back += [offset >> 8, offset & 0xFF]
        return self

    def int64(self, value):  # ConsumeIntegral<int64_t>: INT64_MIN + 8 bytes
        unsigned = (value + 2**63) % 2**64
        self.back += list(unsigned.to_bytes(8, "big"))
        return self

    def bytes(self):
        return self.front + bytes(reversed(self.back))


def wave(pcm, **changes):
    fields = dict(riff=len(pcm) + 36, fmt=16, format=1, channels=1, rate=16000,
                  byte_rate=32000, align=2, bits=16, data=len(pcm))
    fields.update(changes)
    return (b"RIFF" + struct.pack("<I", fields["riff"]) + b"WAVEfmt " +
            struct.pack("<IHHIIHH", fields["fmt"], fields["format"], fields["channels"],
                        fields["rate"], fields["byte_rate"], fields["align"], fields["bits"]) +
            b"data" + struct.pack("<I", fields["data"]) + pcm)


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def write(target, seeds):
    folder = os.path.join(CORPUS, target)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data.encode() if isinstance(data, str) else data)


sine = b"".join(struct.pack("<h", int(12000 * ((i % 16) - 8) / 8)) for i in range(160))
write("fuzz_wave_chunk", {
    "valid-10ms": wave(sine),
    "valid-one-frame": wave(b"\x01\x00"),
    "header-only": wave(b""),
    "odd-payload": wave(b"\x01\x00\x02"),
    "stereo": wave(sine, channels=2),
    "44100hz": wave(sine, rate=44100, byte_rate=88200),
    "float": wave(sine, format=3, bits=32),
    "riff-size-short": wave(sine, riff=100),
    "data-size-long": wave(sine, data=len(sine) + 2),
    "not-riff": b"RIFX" + wave(sine)[4:],
    "truncated-header": wave(sine)[:40],
    "fmt-size-18": wave(sine, fmt=18),
    "empty": b"",
})

# The chunk files the manifest target puts in its folder.
first = wave(bytes([0x01, 0x00, 0xFF, 0x7F]))
second = wave(bytes([0x00, 0x80, 0x10, 0x20, 0x30, 0x40]))
hash0 = hashlib.sha256(first).hexdigest()
hash1 = hashlib.sha256(second).hexdigest()
damaged = bytearray(second)
damaged[22] = 2
hash2 = hashlib.sha256(bytes(damaged)).hexdigest()


def current(*entries, version=1, **extra):
    value = {"version": version, "chunks": [{"name": n, "sha256": h} for n, h in entries]}
    value.update(extra)
    return compact(value)


write("fuzz_chunk_manifest", {
    "current-one": current(("chunk-000.wav", hash0)),
    "current-two": current(("chunk-000.wav", hash0), ("chunk-001.wav", hash1)),
    "current-changed": current(("chunk-000.wav", hash1)),
    "current-damaged-chunk": current(("chunk-000.wav", hash0), ("chunk-001.wav", hash1),
                                     ("chunk-002.wav", hash2)),
    "current-upper-hash": current(("chunk-000.wav", hash0.upper())),
    "current-version-2": current(("chunk-000.wav", hash0), version=2),
    "current-version-huge": current(("chunk-000.wav", hash0), version=2**64 - 1),
    "current-version-float": compact({"version": 1.0, "chunks": []}),
    "current-extra-members": current(("chunk-000.wav", hash0), note="x", size=3),
    "current-empty": current(),
    "current-missing-file": current(("chunk-000.wav", hash0), ("chunk-001.wav", hash1),
                                    ("chunk-002.wav", hash2), ("chunk-003.wav", hash0)),
    "current-wrong-order": current(("chunk-001.wav", hash1), ("chunk-000.wav", hash0)),
    "current-pretty": json.dumps(json.loads(current(("chunk-000.wav", hash0))), indent=2),
    "earlier-two": compact(["chunk-000.wav", "chunk-001.wav"]),
    "earlier-one": compact(["chunk-000.wav"]),
    "earlier-damaged": compact(["chunk-000.wav", "chunk-001.wav", "chunk-002.wav"]),
    "earlier-traversal": compact(["../chunk-000.wav"]),
    "earlier-absolute": compact(["/etc/passwd"]),
    "earlier-not-strings": "[\"chunk-000.wav\",1]",
    "earlier-empty": "[]",
    "object-empty": "{}",
    "truncated": current(("chunk-000.wav", hash0))[:-3],
    "nul-inside": "[\"chunk-000.wav\"]\x00",
    "trailing-comma": "[\"chunk-000.wav\",]",
})

write("fuzz_timing", {
    "two-tracks": compact({"system": 0.0, "microphone": 0.021333}),
    "one-track": compact({"microphone": 1723.5}),
    "empty-object": "{}",
    "integers": compact({"system": 3, "microphone": 18446744073709551615}),
    "negative": compact({"system": -0.5, "microphone": -1e-300}),
    "exponent-overflow": "{\"system\":1e999}",
    "boolean": compact({"system": True}),
    "null": compact({"system": None}),
    "string": compact({"system": "0.0"}),
    "nested": compact({"system": {"at": 1}}),
    "array": "[0.0,1.0]",
    "duplicate-keys": "{\"system\":1,\"system\":2}",
    "unicode-key": compact({"syst\u00e8me": 1.5, "\u0000": 2}),
    "too-large": "{" + ",".join(f"\"t{i}\":{i}" for i in range(500)) + "}",
    "pretty": json.dumps({"system": 12.25, "microphone": 12.5}, indent=4),
    "invalid-utf8": b"{\"\xff\":1}",
})

lower_id = "0f8fad5b-d9cb-469f-a165-70867728950e"
mixed_id = "7C9E6679-7425-40de-944B-E07FC1F90AE7"
origin = "https://app.halden.io"


def meeting(selector, value):
    text = value if isinstance(value, (str, bytes)) else compact(value)
    return bytes([selector]) + (text.encode() if isinstance(text, str) else text)


write("fuzz_saved_meeting", {
    "lower": meeting(0, {"meetingId": lower_id, "origin": origin}),
    "lower-more-members": meeting(0, {"meetingId": lower_id, "origin": origin,
                                      "startedAt": "2026-12-07T10:00:00Z"}),
    "upper-id-lower-folder": meeting(0, {"meetingId": lower_id.upper(), "origin": origin}),
    "mixed": meeting(1, {"meetingId": mixed_id, "origin": origin}),
    "mixed-lowered-id": meeting(1, {"meetingId": mixed_id.lower(), "origin": origin}),
    "link": meeting(2, {"meetingId": mixed_id.lower(), "origin": origin}),
    "other-origin": meeting(0, {"meetingId": lower_id, "origin": "https://app.halden.io/"}),
    "other-id": meeting(0, {"meetingId": mixed_id, "origin": origin}),
    "braced-id": meeting(0, {"meetingId": "{" + lower_id + "}", "origin": origin}),
    "number-member": meeting(0, {"meetingId": lower_id, "origin": origin, "size": 3}),
    "no-origin": meeting(0, {"meetingId": lower_id}),
    "array": meeting(0, [lower_id, origin]),
    "nul": meeting(0, b"{\"meetingId\":\"" + lower_id.encode() + b"\"}\x00"),
    "truncated": meeting(0, compact({"meetingId": lower_id, "origin": origin})[:-5]),
    "too-large": meeting(0, {"meetingId": lower_id, "origin": origin, "pad": "x" * 4100}),
    "empty": meeting(0, ""),
})


def answers(seed, *pairs):
    for status, body in pairs:
        if status is None:
            seed.flag(False)
        else:
            seed.flag(True).status(status)
        seed.string(body)
    return seed.bytes()


def upload(expected, body, *pairs):
    seed = Seed()
    if expected is None:
        seed.flag(False)
    else:
        seed.flag(True).int64(expected)
    seed.string(body)
    return answers(seed, *pairs)


ack0 = compact({"ok": True, "sequence": 0})
ack1 = compact({"ok": True, "sequence": 1})
done = compact({"ok": True, "meetingUrl": "/meetings/1"})
write("fuzz_service_answer", {
    "uploaded": upload(0, ack0, (200, ack0), (200, ack1), (200, done)),
    "uploaded-no-sequences": upload(None, '{"ok":true}', (200, '{"ok":true}'),
                                    (201, '{"ok":true,"sequence":null}'), (200, done)),
    "sequence-wrong": upload(1, ack0, (200, ack0), (200, ack0), (200, done)),
    "ok-number": upload(None, '{"ok":1}', (200, '{"ok":1,"sequence":0}')),
    "ok-string": upload(None, '{"ok":"true"}', (200, '{"ok":"true"}')),
    "ok-false": upload(None, '{"ok":false}', (200, '{"ok":false,"sequence":0}')),
    "sequence-float": upload(0, '{"ok":true,"sequence":0.0}', (200, '{"ok":true,"sequence":0.0}')),
    "sequence-huge": upload(None, '{"ok":true,"sequence":9223372036854775808}',
                            (200, '{"ok":true,"sequence":18446744073709551615}')),
    "sequence-negative": upload(-1, '{"ok":true,"sequence":-1}', (200, '{"ok":true,"sequence":-1}')),
    "error-status": upload(None, '{"error":"Meeting not found."}',
                           (404, '{"error":"Meeting not found."}')),
    "error-not-string": upload(None, '{"error":5}', (500, '{"error":5}')),
    "html-page": upload(None, "<html><body>Bad gateway</body></html>", (502, "<html>Bad gateway</html>")),
    "no-status": upload(None, ack0, (None, ack0)),
    "redirect": upload(None, "{}", (302, "{}")),
    "truncated": upload(None, ack0[:-1], (200, ack0[:-1])),
    "summary-refused": upload(None, ack0, (200, ack0), (200, ack1), (200, '{"ok":false}')),
    "summary-with-sequence": upload(None, ack0, (200, ack0), (200, ack1),
                                    (200, '{"ok":true,"sequence":7}')),
    "duplicate-ok": upload(None, '{"ok":false,"ok":true}', (200, '{"ok":true,"ok":false}')),
    "nested": upload(None, '{"ok":true,"deep":' + "[" * 200 + "]" * 200 + "}",
                     (200, '{"ok":true,"sequence":0,"x":' + "{\"a\":" * 100 + "1" + "}" * 100 + "}")),
    "empty": b"",
})


def page(policy, main, url, body, **state):
    seed = Seed().flag(policy).flag(main).flag(url is not None)
    if url is not None:
        seed.string(url)
    for flag in ("isRecording", "starting", "stopping", "recovering", "uploading"):
        seed.flag(state.get(flag, False))
    return seed.rest(body).bytes()


workspace = "https://app.halden.io/clients/workspace"
local = "http://127.0.0.1:18787/clients/workspace"
start = compact({"action": "start", "meetingId": lower_id, "clientId": "c-17",
                 "clientName": "Fjord & Sons"})
write("fuzz_page_message", {
    "status": page(0, True, workspace, compact({"action": "status"})),
    "start": page(0, True, workspace, start),
    "start-local": page(1, True, local, start),
    "start-recording": page(0, True, workspace, start, isRecording=True),
    "start-upper-id": page(0, True, workspace, compact({"action": "start", "meetingId": mixed_id})),
    "start-bad-id": page(0, True, workspace, compact({"action": "start", "meetingId": "meeting-1"})),
    "start-id-number": page(0, True, workspace, compact({"action": "start", "meetingId": 5})),
    "start-client-number": page(0, True, workspace, compact(
        {"action": "start", "meetingId": lower_id, "clientName": 3, "clientId": None})),
    "stop": page(0, True, workspace, compact({"action": "stop"}), isRecording=True),
    "stop-idle": page(0, True, workspace, compact({"action": "stop"})),
    "retry": page(0, True, workspace, compact({"action": "retry"})),
    "retry-uploading": page(0, True, workspace, compact({"action": "retry"}), uploading=True),
    "subframe": page(0, False, workspace, start),
    "other-origin": page(0, True, "https://app.halden.io.example.net/clients/workspace", start),
    "other-port": page(1, True, "http://127.0.0.1:18788/", start),
    "userinfo": page(0, True, "https://app.halden.io@evil.example/", start),
    "no-url": page(0, True, None, start),
    "about-blank": page(0, True, "about:blank", start),
    "unknown-action": page(0, True, workspace, compact({"action": "delete"})),
    "action-case": page(0, True, workspace, compact({"action": "Status"})),
    "array-body": page(0, True, workspace, "[\"start\"]"),
    "string-body": page(0, True, workspace, "\"status\""),
    "line-separator": page(0, True, workspace, compact(
        {"action": "start", "meetingId": lower_id, "clientName": "a\u2028b\u2029c\u0000"})),
    "invalid-utf8": page(0, True, workspace, b"{\"action\":\"status\",\"x\":\"\xc3\x28\"}"),
})


def navigation(service, target, signing, reference, url):
    return Seed().choice(service).choice(target).flag(signing).string(reference).rest(url).bytes()


write("fuzz_navigation", {
    "workspace": navigation(0, 0, False, "api/meetings", "https://app.halden.io/clients/workspace"),
    "login": navigation(0, 0, False, "login", "https://app.halden.io/login"),
    "login-signing-in": navigation(0, 0, True, "login", "https://app.halden.io/login?next=/"),
    "download": navigation(0, 0, False, "downloads/x", "https://app.halden.io/downloads/notes.pdf"),
    "new-window": navigation(0, 2, False, "x", "https://app.halden.io/clients/7"),
    "upper-case": navigation(0, 0, False, "X", "HTTPS://APP.HALDEN.IO/Clients"),
    "explicit-443": navigation(0, 0, False, "", "https://app.halden.io:443/"),
    "empty-port": navigation(0, 0, False, "", "https://app.halden.io:/"),
    "userinfo": navigation(0, 0, False, "", "https://user:pw@app.halden.io/"),
    "userinfo-two-at": navigation(0, 0, False, "", "https://app.halden.io@evil.example@app.halden.io/"),
    "suffix-host": navigation(0, 0, False, "", "https://app.halden.io.evil.example/"),
    "backslash": navigation(0, 0, False, "\\evil.example", "https://evil.example\\@app.halden.io/"),
    "escaped-host": navigation(0, 0, False, "", "https://app%2Ehalden.io/"),
    "escaped-slash": navigation(0, 0, False, "", "https://evil.example%2F@app.halden.io/"),
    "pipe-in-path": navigation(0, 0, False, "a|b", "https://app.halden.io/a|b{c}^%zz"),
    "external": navigation(0, 0, False, "", "https://example.com/help"),
    "external-subframe": navigation(0, 1, False, "", "https://example.com/embed"),
    "mailto": navigation(0, 0, False, "", "mailto:team@halden.io"),
    "javascript": navigation(0, 0, False, "", "javascript:alert(1)"),
    "file": navigation(0, 0, False, "", "file:///etc/passwd"),
    "data": navigation(0, 1, False, "", "data:text/html,<p>x</p>"),
    "about-blank": navigation(0, 1, False, "", "about:blank"),
    "no-scheme": navigation(0, 0, False, "", "//app.halden.io/"),
    "local": navigation(1, 0, False, "api/x?y=1#z", "http://127.0.0.1:18787/clients/workspace"),
    "local-leading-zero": navigation(1, 0, False, "", "http://127.0.0.1:018787/"),
    "local-other-port": navigation(1, 0, False, "", "http://127.0.0.1:18788/"),
    "local-no-port": navigation(1, 0, False, "", "http://127.0.0.1/"),
    "local-decimal-ip": navigation(1, 0, False, "", "http://2130706433:18787/"),
    "ipv6": navigation(2, 0, False, "a/../b", "http://[::1]:8080/clients/workspace"),
    "ipv6-long": navigation(2, 0, False, "", "http://[0:0:0:0:0:0:0:1]:8080/"),
    "ipv6-zone": navigation(2, 0, False, "", "http://[fe80::1%25eth0]:8080/"),
    "reference-other-host": navigation(0, 0, False, "/evil.example/x", "https://app.halden.io/"),
    "reference-dots": navigation(0, 0, False, "../../../x/./y", "https://app.halden.io/"),
    "space": navigation(0, 0, False, "a b", "https://app.halden.io/a b"),
    "unicode": navigation(0, 0, False, "\u00e9", "https://app.halden.io/caf\u00e9"),
})


def signin(https, *pairs):
    seed = Seed().flag(https)
    for status, body in pairs:
        if status == 200:
            seed.flag(True)
        else:
            seed.flag(False).status(status)
        seed.string(body)
    return seed.bytes()


begun = compact({"id": "req-1", "secret": "s3cret", "code": "KXT-482"})
pending = compact({"status": "pending"})
session = compact({"session": {"name": "authjs.session-token", "value": "eyJhbGciOi.abc"}})
write("fuzz_signin", {
    "signed-in": signin(True, (200, begun), (200, pending), (200, session)),
    "signed-in-local": signin(False, (200, begun), (200, session)),
    "secure-prefix": signin(True, (200, begun), (200, compact(
        {"session": {"name": "__Secure-authjs.session-token", "value": "v"}}))),
    "begin-refused": signin(True, (503, compact({"error": "Sign-in is unavailable."}))),
    "begin-no-code": signin(True, (200, compact({"id": "req-1", "secret": "s"}))),
    "begin-numbers": signin(True, (200, compact({"id": 1, "secret": 2, "code": 3}))),
    "id-with-delimiters": signin(True, (200, compact(
        {"id": "a&b=c#d/../e?f", "secret": "s", "code": "<script>x</script>"})), (200, session)),
    "id-unicode": signin(True, (200, compact({"id": "\u00e9\u2028", "secret": "s", "code": "'\""}))),
    "session-not-object": signin(True, (200, begun), (200, compact({"session": "token"})),
                                 (200, session)),
    "session-bad-name": signin(True, (200, begun), (200, compact(
        {"session": {"name": "a;b", "value": "v"}}))),
    "session-empty-name": signin(True, (200, begun), (200, compact(
        {"session": {"name": "", "value": "v"}}))),
    "session-control-value": signin(True, (200, begun), (200, compact(
        {"session": {"name": "n", "value": "v\r\nSet-Cookie: x=y"}}))),
    "redeem-expired": signin(True, (200, begun), (410, compact({"error": "Sign-in expired."}))),
    "redeem-html": signin(True, (200, begun), (200, "<html>login</html>")),
    "empty": b"",
})

for target, keys in {
    "fuzz_chunk_manifest": ["version", "chunks", "name", "sha256", "chunk-000.wav",
                            "chunk-001.wav", "chunk-002.wav", ".wav", "chunk-", hash0, hash1],
    "fuzz_timing": ["system", "microphone", "1e308", "-0.0", "e-324"],
    "fuzz_saved_meeting": ["meetingId", "origin", origin, lower_id, mixed_id],
    "fuzz_service_answer": ["ok", "sequence", "error", "true", "false", "null",
                            "9223372036854775807", "9223372036854775808"],
    "fuzz_page_message": ["action", "status", "start", "stop", "retry", "meetingId",
                          "clientId", "clientName", lower_id, "https://app.halden.io/",
                          "http://127.0.0.1:18787/"],
    "fuzz_navigation": ["https://", "http://", "mailto:", "app.halden.io", "127.0.0.1",
                        ":18787", "[::1]", ":8080", "/login", "/downloads/", "@", "%2F", "%2E",
                        "//", "/../", "?", "#"],
    "fuzz_signin": ["id", "secret", "code", "session", "name", "value",
                    "authjs.session-token", "__Secure-", "action", "redeem", "begin"],
}.items():
    with open(os.path.join(HERE, target + ".dict"), "w") as out:
        for key in keys:
            out.write("kw=" + json.dumps(json.dumps(key) if key.isalnum() and key not in
                                          ("true", "false", "null") and not key.isdigit()
                                          else key) + "\n")
