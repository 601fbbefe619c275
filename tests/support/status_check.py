#!/usr/bin/python3
# Checks the status page's answers for the C++ test: each FILE ending in
# .json against the JSON schema SCHEMA (the parts of the vocabulary the
# schema uses: type, required, properties, additionalProperties, items,
# minimum, maximum, maxItems), each ending in .svg as well-formed XML whose
# root is an SVG element with a width and a height. Prints one line per
# fault; exit status 1 when there was any.
#   status_check.py SCHEMA FILE...
import json
import sys
import xml.etree.ElementTree as ET

faults = []


def is_type(value, name):
    if name == "null":
        return value is None
    if name == "boolean":
        return isinstance(value, bool)
    if name == "integer":
        return isinstance(value, int) and not isinstance(value, bool)
    if name == "number":
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    if name == "string":
        return isinstance(value, str)
    if name == "array":
        return isinstance(value, list)
    if name == "object":
        return isinstance(value, dict)
    raise ValueError("type " + name)


def check(value, schema, where):
    types = schema.get("type")
    if types is not None:
        types = types if isinstance(types, list) else [types]
        if not any(is_type(value, t) for t in types):
            faults.append("%s: %r is not %s" % (where, value, "/".join(types)))
            return
    if is_type(value, "number"):
        if "minimum" in schema and value < schema["minimum"]:
            faults.append("%s: %r below %r" % (where, value, schema["minimum"]))
        if "maximum" in schema and value > schema["maximum"]:
            faults.append("%s: %r above %r" % (where, value, schema["maximum"]))
    if isinstance(value, dict):
        props = schema.get("properties", {})
        for key in schema.get("required", []):
            if key not in value:
                faults.append("%s: %s is missing" % (where, key))
        for key, item in value.items():
            if key in props:
                check(item, props[key], where + "." + key)
            elif schema.get("additionalProperties") is False:
                faults.append("%s: %s is not in the schema" % (where, key))
    if isinstance(value, list):
        if "maxItems" in schema and len(value) > schema["maxItems"]:
            faults.append("%s: %d items, more than %d" % (where, len(value), schema["maxItems"]))
        for i, item in enumerate(value):
            check(item, schema.get("items", {}), "%s[%d]" % (where, i))


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    for path in sys.argv[2:]:
        try:
            if path.endswith(".json"):
                with open(path, encoding="utf-8") as f:
                    check(json.load(f), schema, path)
            else:
                root = ET.parse(path).getroot()
                if root.tag != "{http://www.w3.org/2000/svg}svg":
                    faults.append("%s: the root is %s" % (path, root.tag))
                for name in ("width", "height"):
                    if not root.get(name, "").isdigit():
                        faults.append("%s: no %s" % (path, name))
        except (ValueError, ET.ParseError) as e:
            faults.append("%s: %s" % (path, e))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


sys.exit(main())
