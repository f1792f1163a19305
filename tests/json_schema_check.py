#!/usr/bin/env python3
"""-json's documents validate against docs/lunscan-inventory.schema.json: every report with a JSON
form on the demo host and a hostile one, and a -diff result. Usage: json_schema_check.py LUNSCAN SOURCE_DIR"""
import json
import os
import subprocess
import sys

try:
    import jsonschema
except ImportError:
    print("jsonschema not found: install python3-jsonschema (scripts/ensure-packages.sh native)", file=sys.stderr)
    sys.exit(1)

lunscan, source = sys.argv[1], sys.argv[2]
schema = json.load(open(os.path.join(source, "docs", "lunscan-inventory.schema.json")))
validator = jsonschema.Draft202012Validator(schema)
reports = ["", "-all", "-et", "-ckd", "-sil", "-gk", "-parent", "-connections", "-wwn", "-kor_wwn", "-drav_wwn",
           "-hds_wwn", "-shark_wwn", "-hba", "-iscsi", "-rpx_ping", "-rpx_list", "-rpx_xml", "-rpx_raw"]
hosts = ["examples/demo-host.json", "tests/cases/hosts/tables/mixed-host.json", "tests/cases/hosts/rpx/hostile-names.json",
         "tests/cases/hosts/tables/odd-bytes.json"]
diff_data = os.path.join(source, "tests", "data", "json")
runs = [(host, ["-json", "-no_dots"] + ([report] if report else [])) for host in hosts for report in reports]
runs.append((hosts[0], ["-json", "-diff", os.path.join(diff_data, "base.json"), os.path.join(diff_data, "every-change.json")]))
failed = 0
for host, args in runs:
    env = dict(os.environ, SIL_SIM_HOST=os.path.join(source, host))
    out = subprocess.run([lunscan] + args, env=env, capture_output=True, text=True, errors="replace").stdout
    try:
        errors = [e.message for e in validator.iter_errors(json.loads(out))]
    except json.JSONDecodeError as e:
        errors = ["not JSON: %s" % e]
    for message in errors[:3]:
        print("%s %s: %s" % (host, " ".join(args), message))
    failed += bool(errors)
print("%d of %d documents valid" % (len(runs) - failed, len(runs)))
sys.exit(1 if failed else 0)
