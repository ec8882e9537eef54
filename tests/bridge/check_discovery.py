#!/usr/bin/env python3
"""Reads the cases the bridge's unit test wrote and checks them as Home Assistant would: the
pattern with Python's re.match (as its MQTT text platform applies it), every discovery payload
as JSON, every discovery topic against its discovery topic rule, and the unique ids distinct.
Prints the agreement count; exit status 1 on any disagreement."""
import json
import re
import sys

# Home Assistant's discovery topic rule (homeassistant/components/mqtt/discovery.py).
TOPIC = re.compile(r"(?P<component>\w+)/(?:(?P<node_id>[a-zA-Z0-9_-]+)/)?"
                   r"(?P<object_id>[a-zA-Z0-9_-]+)/config")

with open(sys.argv[1], encoding="utf-8") as file:
    cases = json.load(file)
pattern = re.compile(cases["pattern"])
wrong = [text for text, accepted in cases["texts"] if bool(pattern.match(text)) != accepted]
unique_ids = set()
for topic, payload in cases["messages"]:
    config = json.loads(payload)
    prefix, _, rest = topic.partition("/")
    if not TOPIC.fullmatch(rest):
        wrong.append("topic " + topic)
    if config["unique_id"] in unique_ids:
        wrong.append("unique_id " + config["unique_id"])
    unique_ids.add(config["unique_id"])
print(f"python re: {len(cases['texts']) - len(wrong)} of {len(cases['texts'])} texts agree; "
      f"{len(cases['messages'])} configs")
for item in wrong[:20]:
    print("disagrees:", repr(item))
sys.exit(1 if wrong else 0)
