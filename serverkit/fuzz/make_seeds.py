#!/usr/bin/env python3
"""Writes the seed inputs of the server kit's fuzz targets into corpus/.

The signed seeds come from the shared known-answer vectors, so that the
targets start from requests the kit accepts and mutate from there. Inputs
of past findings (regress-*) are kept by hand and not written here.
"""
import json
import os
import pathlib

here = pathlib.Path(__file__).resolve().parent
vectors_path = here.parent.parent / "tests" / "vectors" / "record_vectors.txt"


def read_vectors():
    sections, current = {}, None
    for line in vectors_path.read_text().splitlines():
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1], {})
        elif current is not None and "=" in line and not line.startswith("#"):
            key, value = line.split("=", 1)
            current[key] = value
    return sections


def write(target, name, data):
    folder = here / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def main():
    v = read_vectors()
    login, debugger, program = v["login-proof"], v["hard-cheat-debugger"], v["hard-cheat-program"]
    login_request = {
        "challenge": {"version": 2, "build": int(login["challenge_build"]),
                      "id": login["challenge_id"], "nonce": login["challenge_nonce"]},
        "login_name": login["login_name"], "client_build": int(login["client_build"]),
        "key_kind": int(login["key_kind"]), "machine_digest": login["machine_digest"],
        "public_key": login["public_key"], "signature": login["signature"],
    }
    report_request = {
        "report": debugger["report"],
        "challenge": {"version": 1, "build": int(debugger["challenge_build"]),
                      "id": debugger["challenge_id"], "nonce": debugger["challenge_nonce"]},
        "evidence": {"name": "active-debugger", "pid": 700, "access": 0},
    }
    evidence = {"violation": 3, "name": "AC-PROC-001", "pid": 4242, "access": 48}

    def command(selector, request):
        return bytes([selector]) + json.dumps(request).encode()

    t = "verify_command_fuzzer"
    write(t, "issue-login", command(0, {"build": 5, "oldest_client_build": 1}))
    write(t, "issue-hard-cheat", command(1, {"oldest_client_build": 60, "newest_client_build": 63}))
    write(t, "login-proof-accepted", command(2, login_request))
    write(t, "login-proof-enrolled-keys",
          command(2, dict(login_request, known_public_keys=[login["public_key"]])))
    write(t, "report-accepted", command(3, report_request))
    write(t, "report-two-challenges",
          command(3, dict(report_request, challenges=[report_request["challenge"]],
                          known_public_key=debugger["public_key"], expected_client_build=62)))
    write(t, "evidence-digest", command(4, evidence))

    t = "service_request_fuzzer"
    login_body = {k: val for k, val in login_request.items() if k != "challenge"}
    login_body.update(session="player-1", challenge_id=login["challenge_id"])
    write(t, "login-challenge", command(0, {"session": "player-1", "build": 62}))
    write(t, "login-proof", command(1, login_body))
    write(t, "hard-cheat-challenge", command(2, {"session": "player-1"}))
    write(t, "hard-cheat-report",
          command(3, {"session": "player-1", "report": debugger["report"],
                      "evidence": report_request["evidence"]}))
    write(t, "acknowledgement", command(4, {"session": "player-1",
                                            "report_id": debugger["report_id"]}))
    write(t, "healthz", bytes([5]))

    t = "hard_cheat_report_fuzzer"
    write(t, "debugger-report", bytes([int(debugger["challenge_build"])]) +
          bytes.fromhex(debugger["report"]))
    write(t, "program-report", bytes([int(program["challenge_build"])]) +
          bytes.fromhex(program["report"]))


if __name__ == "__main__":
    main()
