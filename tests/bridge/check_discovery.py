#!/usr/bin/env python3
"""Reads the cases the bridge's unit test wrote and checks them as Home Assistant would: the
pattern with Python's re.match (as its MQTT text platform applies it), every discovery payload
as JSON, every discovery topic against its discovery topic rule, the unique ids distinct, the
topics as its valid_publish_topic and valid_subscribe_topic take them, and each preset's button:
its command topic, the text it sends, its availability; and each sensor's templates rendered by
Jinja2, as Home Assistant renders them, from the node's health message, and from one that lists
no box: a timestamp must parse, a counter must be a number, a text must fit a state (255
characters). Prints the agreement count; exit status 1 on any disagreement."""
import datetime
import json
import re
import sys

import jinja2

# Home Assistant's discovery topic rule (homeassistant/components/mqtt/discovery.py).
TOPIC = re.compile(r"(?P<component>\w+)/(?:(?P<node_id>[a-zA-Z0-9_-]+)/)?"
                   r"(?P<object_id>[a-zA-Z0-9_-]+)/config")


def publish_topic(topic):
    """Home Assistant's valid_publish_topic: a topic without wildcards or NUL."""
    return isinstance(topic, str) and 0 < len(topic.encode()) <= 65535 and \
        not set(topic) & {"+", "#", "\0"}


with open(sys.argv[1], encoding="utf-8") as file:
    cases = json.load(file)
pattern = re.compile(cases["pattern"])
wrong = [text for text, accepted in cases["texts"] if bool(pattern.match(text)) != accepted]
unique_ids = set()
buttons = 0
sensors = 0
templates = jinja2.Environment()
for topic, payload in cases["messages"]:
    config = json.loads(payload)
    prefix, _, rest = topic.partition("/")
    match = TOPIC.fullmatch(rest)
    if not match:
        wrong.append("topic " + topic)
        continue
    if config["unique_id"] in unique_ids:
        wrong.append("unique_id " + config["unique_id"])
    unique_ids.add(config["unique_id"])
    for entry in config.get("availability", []):
        if not publish_topic(entry["topic"]) or \
                not {"payload_available", "payload_not_available"} <= entry.keys():
            wrong.append("availability " + topic)
    if match["component"] == "button":
        buttons += 1
        if not publish_topic(config["command_topic"]) or \
                not config["command_topic"].endswith("/command") or \
                config["payload_press"] != cases["presses"].get(topic) or \
                config["qos"] not in (0, 1, 2) or config["retain"] is not False or \
                config.get("availability_mode") != "all" or len(config["availability"]) != 2 or \
                not config["device"]["identifiers"]:
            wrong.append("button " + topic)
    if match["component"] == "sensor":
        sensors += 1
        if not config["state_topic"].endswith("/health") or \
                config.get("entity_category") != "diagnostic" or \
                not publish_topic(config["availability_topic"]):
            wrong.append("sensor " + topic)
        for health in (cases["health"], dict(cases["health"], boxes={})):
            try:
                state = templates.from_string(config["value_template"]).render(value_json=health)
                if config.get("device_class") == "timestamp":
                    datetime.datetime.fromisoformat(state.replace("Z", "+00:00"))
                elif "state_class" in config:
                    float(state)
                elif not 0 < len(state) <= 255:
                    raise ValueError(state)
                if "json_attributes_template" in config:
                    attributes = templates.from_string(config["json_attributes_template"])
                    if not isinstance(json.loads(attributes.render(value_json=health)), dict):
                        raise ValueError("attributes")
            except Exception as error:  # pylint: disable=broad-except
                wrong.append(f"sensor {topic}: {error!r}")
print(f"python re: {len(cases['texts']) - len(wrong)} of {len(cases['texts'])} texts agree; "
      f"{len(cases['messages'])} configs, {buttons} of them buttons, {sensors} sensors")
for item in wrong[:20]:
    print("disagrees:", repr(item))
sys.exit(1 if wrong else 0)
