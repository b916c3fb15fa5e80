#!/usr/bin/python3
# Stands in for orvanctl where no device is: appends its command line (and, for apply, the plan
# it read) to $FAKE_ORVANCTL_RECORD, one line a run, and prints what orvanctl would for it.
import json
import os
import sys

args = sys.argv[1:]
line = ' '.join(args)
if args[0] == 'apply':
    plan = sys.stdin.read()
    line += ' <' + plan
with open(os.environ['FAKE_ORVANCTL_RECORD'], 'a') as record:
    record.write(line + '\n')


def device(address, gateway='10.0.0.1', mac='02-00-5E-10-00-02'):
    return dict(address=address, port=4000, telemetry_port=7001, h323_port=7002,
                gateway=gateway, ip=address, controller='10.0.0.9', mask='255.255.255.0', mac=mac)


# What each range of the scans holds: one device in both, one MAC text to make safe, one empty.
RANGES = {
    '10.0.0.0/24': [device('10.0.0.2'), device('10.0.0.3', '10.0.0.254', 'AB CD/\u0436')],
    '10.0.0.3-10.0.0.10': [device('10.0.0.3', '10.0.0.254', 'AB CD/\u0436'),
                           device('10.0.0.10', mac='')],
    # Not an address: it must name no host.
    '10.0.9.0/24': [device('10.0.9.1 x')],
}

if args[0] == 'scan':
    if args[1] not in RANGES:
        sys.stderr.write("orvanctl: RANGE: '%s' is not a range\n" % args[1])
        sys.exit(2)
    for d in RANGES[args[1]]:
        print(json.dumps(d))
elif args[0] == 'get':
    print(json.dumps(device(args[1])))
elif args[0] == 'set':
    print(json.dumps(dict(address=args[1], result='unchanged', changes=[], command=None,
                          before=device(args[1]), verified=False, time_sent=False)))
elif args[0] == 'apply':
    for entry in json.loads(plan):
        print(json.dumps(dict(address=entry['address'], result='unchanged', changes=[],
                              command=None, before=device(entry['address']))))
    sys.stderr.write('orvanctl: summary: 1 devices, 0 changed, 1 unchanged, 0 failed\n')
