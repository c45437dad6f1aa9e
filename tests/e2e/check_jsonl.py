#!/usr/bin/env python3
"""Checks the JSON Lines file of a batch run of the calls in tests/e2e/BatchTest.cpp against what
was sent and what talvo_sim answers, field by field. Prints "ok" or the first difference."""
import json
import sys


def main(path):
    with open(path, "rb") as f:
        raw = f.read()
    lines = raw.split(b"\n")
    assert lines[-1] == b"", "the file ends with a line end"
    records = [json.loads(line.decode("utf-8")) for line in lines[:-1]]  # strict UTF-8
    for record in records:
        assert record["t"].endswith("Z") and len(record["t"]) == 24, record["t"]

    events = [r for r in records if "event" in r]
    assert events and events[0]["event"] == "connection_established", events
    messages = [r for r in records if "dir" in r]
    tx = [m for m in messages if m["dir"] == "tx"]
    rx = [m for m in messages if m["dir"] == "rx"]
    assert [m["name"] for m in tx] == ["GETVERSION", "SETOUTPUT", "READLOG", "PULSEOUTPUT"], tx
    assert [m["name"] for m in rx] == [m["name"] for m in tx], rx
    # Each call goes out before its answer comes in.
    for call, answer in zip(tx, rx):
        assert messages.index(call) < messages.index(answer)
        assert call["type"] == 3 and call["type_name"] == "RFS_REQUEST", call
        assert answer["type"] == 4 and answer["type_name"] == "RFS_RESPONSE", answer
        assert answer["fnid"] == call["fnid"] and answer["error"] == 0, answer
        assert "rest" not in answer and "raw" not in answer, answer

    def fields(message):
        return [(f["code"], f["value"]) for f in message["fields"]]

    assert tx[0]["fnid"] == 1 and fields(tx[0]) == [], tx[0]
    assert fields(rx[0]) == [("S", "SIM0"), ("W", [1, 2, 3])], rx[0]
    assert tx[1]["fnid"] == 0x10 and fields(tx[1]) == [("B", 3), ("B", 1)], tx[1]
    assert fields(rx[1]) == [("B", 3), ("B", 1)], rx[1]
    assert fields(tx[2]) == [("W", 5), ("B", 2)], tx[2]
    group = rx[2]["fields"][2]
    assert fields(rx[2])[:2] == [("W", 5), ("B", 2)], rx[2]
    assert group["code"] == "(" and group["structure"] == "D H W", group
    assert [[(f["code"], f["value"]) for f in rep] for rep in group["value"]] == [
        [("D", 4 + 3 * i), ("H", 5 + 3 * i), ("W", 6 + 3 * i)] for i in range(4)
    ], group
    assert tx[3]["fnid"] == 0x13 and fields(tx[3]) == [("B", 3), ("W", 250)], tx[3]
    assert fields(rx[3]) == [("B", 3), ("W", 250)], rx[3]
    print("ok")


if __name__ == "__main__":
    main(sys.argv[1])
