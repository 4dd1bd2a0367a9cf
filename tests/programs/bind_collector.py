#!/usr/bin/env python3
"""A collector written apart from qelcollect, for the runtime's bind mode.

Its PULL sockets connect to the runtime's eight ports on 127.0.0.1 the way an
independent tool would, with ZeroMQ's default reconnect interval, usually
before any program has bound them: the runtime must still hand it everything
a short program recorded. It prints "ready" once its sockets exist, collects
until its standard input ends, then for 300 ms more, and prints:

  messages CHANNEL N     messages received per channel
  sum CHANNEL N          node, condition and MC/DC: the sum of their counts
  node UNIT NODE N       hits per node
"""
import struct
import sys
import time

import zmq

PORTS = {15555: "node", 15556: "condition", 15557: "mcdc", 15559: "property",
         15560: "testcase", 15561: "value", 15562: "lastdata", 15564: "timing"}
# Where the 32-bit count stands in a message of each counted channel.
COUNT_AT = {"node": 9, "condition": 9, "mcdc": 11}


def main():
    ctx = zmq.Context()
    poller = zmq.Poller()
    channel_of = {}
    for port, name in PORTS.items():
        s = ctx.socket(zmq.PULL)
        s.setsockopt(zmq.LINGER, 0)
        s.connect("tcp://127.0.0.1:%d" % port)  # reconnect interval left as it is
        channel_of[s] = name
        poller.register(s, zmq.POLLIN)
    poller.register(sys.stdin, zmq.POLLIN)
    print("ready", flush=True)

    messages = {name: 0 for name in PORTS.values()}
    sums = {name: 0 for name in COUNT_AT}
    nodes = {}
    stop_at = None
    while stop_at is None or time.monotonic() < stop_at:
        for item, _ in poller.poll(50):
            if not isinstance(item, zmq.Socket):  # standard input
                if not sys.stdin.readline():
                    poller.unregister(sys.stdin)
                    stop_at = time.monotonic() + 0.3
                continue
            name = channel_of[item]
            while True:
                try:
                    msg = item.recv(zmq.NOBLOCK)
                except zmq.Again:
                    break
                messages[name] += 1
                if name in COUNT_AT and len(msg) >= COUNT_AT[name] + 4:
                    (count,) = struct.unpack(">I", msg[COUNT_AT[name]:COUNT_AT[name] + 4])
                    sums[name] += count
                    if name == "node":
                        key = ((msg[0] & 0x7F) << 8 | msg[1], msg[2] << 8 | msg[3])
                        nodes[key] = nodes.get(key, 0) + count
    for name, n in messages.items():
        print("messages %s %d" % (name, n))
    for name, n in sums.items():
        print("sum %s %d" % (name, n))
    for (unit, node), n in sorted(nodes.items()):
        print("node %d %d %d" % (unit, node, n))
    ctx.destroy(linger=0)


if __name__ == "__main__":
    main()
