#!/usr/bin/env python3
"""Gathers seed inputs for the fuzz targets from examples/ and the JSON the tests write, into
OUT/NAME for each target. scripts/fuzz.sh --seed merges them into the kept corpora."""
import glob
import hashlib
import json
import os
import re
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
out = sys.argv[1]

OUTBOUND_TYPES = {"direct", "socks", "http", "shadowsocks", "vmess", "vless", "trojan",
                  "hysteria2", "tuic", "selector", "urltest"}
TRANSPORT_TYPES = {"ws", "http", "grpc", "xhttp", "httpupgrade"}
CONFIG_KEYS = {"log", "dns", "inbounds", "outbounds", "route", "experimental"}


def write(target, data):
    if isinstance(data, str):
        data = data.encode()
    directory = os.path.join(out, target)
    os.makedirs(directory, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def literals():
    """The raw string literals of the tests that are JSON objects or arrays."""
    sources = glob.glob(os.path.join(root, "src/**/tests/*.cpp"), recursive=True)
    sources += glob.glob(os.path.join(root, "src/**/*_test.cpp"), recursive=True)
    sources += glob.glob(os.path.join(root, "tools/**/*_test.cpp"), recursive=True)
    sources += glob.glob(os.path.join(root, "helper-src/tests/*.cpp"))
    sources += glob.glob(os.path.join(root, "src/**/tests/*.h"), recursive=True)
    for path in sorted(set(sources)):
        text = open(path, encoding="utf-8").read()
        for match in re.finditer(r'R"([^(\s]*)\((.*?)\)\1"', text, re.S):
            try:
                value = json.loads(match.group(2))
            except ValueError:
                continue
            if isinstance(value, (dict, list)):
                yield value


examples = {}
for path in sorted(glob.glob(os.path.join(root, "examples/*.json"))):
    raw = open(path, "rb").read()
    examples[os.path.basename(path)] = json.loads(raw)
    for target in ("request_road", "validation", "compiler", "json_round_trip"):
        write(target, raw)
for path in sorted(glob.glob(os.path.join(root, "examples/rules/*.json"))):
    raw = open(path, "rb").read()
    write("rule_source", raw)
    write("json_round_trip", raw)

base = examples["vless-reality.json"]


def request_with(edit):
    request = json.loads(json.dumps(base))
    edit(request)
    return json.dumps(request, ensure_ascii=False, separators=(",", ":"))


for value in literals():
    write("json_round_trip", json.dumps(value, ensure_ascii=False))
    if not isinstance(value, dict):
        continue
    if "op" in value or "version" in value and ("config" in value or "session" in value):
        text = json.dumps(value, ensure_ascii=False)
        for target in ("request_road", "validation", "compiler"):
            write(target, text)
        continue
    if "version" in value and "rules" in value:
        write("rule_source", json.dumps(value, ensure_ascii=False))
        for request in examples.values():
            for document in request.get("rules", {}).values():
                write("rule_source", json.dumps(document, ensure_ascii=False))
        continue
    if len(CONFIG_KEYS & value.keys()) >= 2:
        edit = lambda r, v=value: r.__setitem__("config", v)
    elif value.get("type") in OUTBOUND_TYPES and "tag" in value:
        edit = lambda r, v=value: r["config"]["outbounds"].insert(0, v)
    elif value.get("type") in TRANSPORT_TYPES:
        edit = lambda r, v=value: r["config"]["outbounds"][0].__setitem__("transport", v)
    elif "enabled" in value and value.keys() & {"server_name", "reality", "utls", "insecure"}:
        edit = lambda r, v=value: r["config"]["outbounds"][0].__setitem__("tls", v)
    elif "action" in value or "outbound" in value or "rule_set" in value:
        edit = lambda r, v=value: r["config"]["route"]["rules"].insert(1, v)
    elif "servers" in value:
        edit = lambda r, v=value: r["config"].__setitem__("dns", v)
    else:
        continue
    text = request_with(edit)
    for target in ("request_road", "validation", "compiler"):
        write(target, text)

# DNS servers whose address, port or path the engine could read as something else.
DNS_SERVER_TEXTS = ["1.1.1.1", "2606:4700::1111", "dns.google", "a-b.example",
                    "https+local://1.1.1.1/dns-query", "tcp+local://1.1.1.1", "quic+local://x",
                    "localhost", "LocalHost", "fakedns", "1.1.1.1/x", "a@b", "a..b", "-a.b",
                    "1.1.1", "999.1.1.1", "[::1]", "fe80::1%eth0", "dns google",
                    "a" * 64 + ".example"]
DNS_SERVER_MEMBERS = [{"server_port": port} for port in (0, 1, 65535, 65536, "53", 53.0)]
DNS_SERVER_MEMBERS += [{"path": path} for path in ("/q", "q", "")]


def dns_server(type_, server, members):
    def edit(request):
        request["config"]["dns"]["servers"][0] = dict(
            {"tag": "dns-remote", "type": type_, "server": server, "detour": "proxy"}, **members)
    return edit


for type_ in ("udp", "tcp", "https"):
    edits = [dns_server(type_, server, {}) for server in DNS_SERVER_TEXTS]
    edits += [dns_server(type_, "1.1.1.1", members) for members in DNS_SERVER_MEMBERS]
    for edit in edits:
        text = request_with(edit)
        for target in ("request_road", "validation", "compiler"):
            write(target, text)

# Engine logs: a flag byte (odd: four bytes of exit code follow), then the tail of engine.log.
logs = [
    b"Xray 26.9.30 started\n",
    "2026/01/01 00:00:00 [Warning] core: Xray 26.9.30 started\r\nFailed to start: "
    "app/router: failed to build\r\n\r\n   \r\n".encode(),
    ("Ошибка: " + "ж" * 1200 + "\n").encode(),
    b"\xe2\x82 line starting mid-character\n\xff\xfe bad bytes\n",
    b"\t \x0b\x0c\r\n\xc2\x85\xe2\x80\xa8\xe3\x80\x80\n",
    b"no line feed at the end",
    b"",
]
for log in logs:
    write("engine_exit", b"\x00" + log)
    write("engine_exit", b"\x01\x05\x00\x00\xc0" + log)

# The service: a flag byte (bits 0-2: split points, two bytes each, follow; bit 3: the client
# closes after writing; bit 4: another session's connection runs; bit 5: an update reservation
# is held), then what the client writes.
SESSION = "ab" * 32
requests = [json.dumps(r, ensure_ascii=False, separators=(",", ":")) for r in examples.values()]
requests += [json.dumps({"version": 1, "op": op, "session": SESSION}) for op in
             ("status", "stop", "cancel_update", "start")]
requests += [json.dumps({"version": 1, "op": "prepare_update", "session": SESSION,
                         "owner_pid": pid}) for pid in (500, 77, 9)]
requests += [json.dumps({"version": 2, "op": "status"}), "not json", "[1,2", ""]
for index, request in enumerate(requests):
    data = (request + "\n").encode()
    write("service", bytes([0]) + data)
    write("service", bytes([0x08]) + data[:-1])
    cut = len(data) // 3
    write("service", bytes([0x32]) + cut.to_bytes(2, "little") + (2 * cut).to_bytes(2, "little")
          + data)
    if index % 3 == 0:
        write("service", bytes([0x10]) + data)
        write("service", bytes([0x20]) + data)
