# -*- coding: utf-8 -*-
# Copyright: Velmar Soft
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: apply
short_description: Set the network settings of many handset-controller devices in one run
description:
  - Gives the devices to one C(orvanctl apply) run as its plan, several devices at once; the
    fast path for a whole site from its jump host. Each device is read, and written only when
    something differs, as M(velmarsoft.orvan.device) does for one.
  - Every entry is checked by C(orvanctl) before anything is sent to any device; an invalid
    one fails the task with I(rc) 2 and nothing sent.
  - In check mode it runs C(orvanctl apply --dry-run); each device gets the request and nothing
    else, and I(changed) tells whether a real run would change any.
  - In diff mode the old and new value of each setting that changes are shown, one block per
    device.
  - When any device fails (no reply, partial reply, verify failure), the task fails with the
    failed devices' messages after every device was tried; I(results) holds every device's.
options:
  devices:
    description:
      - The devices, each a dict with C(address) and any of the settings C(telemetry_port),
        C(h323_port), C(gateway), C(ip), C(controller), C(mask), C(mac) (as
        M(velmarsoft.orvan.device) takes them in its I(settings)); or with C(address) and a
        dict C(settings) holding them.
      - An entry of M(velmarsoft.orvan.scan)'s I(devices) may be given as it is; C(port) must
        then be the device port in use.
      - An address may come once.
    type: list
    elements: dict
    required: true
  parallel:
    description:
      - Devices at once, 1 to 64. When not given, C(orvanctl)'s default, 8.
    type: int
  time:
    description:
      - Also set each changed device's clock to the host's local time after its command.
    type: bool
    default: false
  verify:
    description:
      - Read each changed device again and fail it unless every setting matches.
    type: bool
    default: false
extends_documentation_fragment:
  - velmarsoft.orvan.orvanctl
  - velmarsoft.orvan.orvanctl.log
  - ansible.builtin.action_common_attributes
attributes:
  diff_mode:
    support: full
'''

EXAMPLES = r'''
- name: One site's devices from its jump host
  velmarsoft.orvan.apply:
    devices:
      - address: 10.20.0.31
        gateway: 10.20.0.1
        telemetry_port: 7001
      - address: 10.20.0.32
        settings:
          gateway: 10.20.0.1
          telemetry_port: 7001
    parallel: 16
    verify: true
    log: /var/log/orvan/tower-b.log
  register: site

- name: The devices listed in the inventory for this jump host's site, with a new clock
  velmarsoft.orvan.apply:
    devices: "{{ site_devices }}"
    time: true
'''

RETURN = r'''
results:
  description:
    - One result per device, in the order given, each with the fields
      M(velmarsoft.orvan.device) returns (C(address), C(result), C(changed), C(settings),
      C(changes), C(command), C(verified), C(time_sent), C(message), and C(after) and C(sent)
      when C(orvanctl) tells them).
  returned: when orvanctl ran the plan
  type: list
  elements: dict
  sample: [{"address": "10.20.0.31", "result": "changed", "changed": true,
            "changes": [{"setting": "telemetry_port", "from": 6024, "to": 7001}],
            "settings": {"telemetry_port": 6024, "h323_port": 6025, "gateway": "10.20.0.1",
                         "ip": "10.20.0.31", "controller": "10.20.0.240",
                         "mask": "255.255.255.0", "mac": "00-AC-6E-24-18-02"},
            "command": "<1B59#1789#0A.14.00.01#0A.14.00.1F#0A.14.00.F0#FF.FF.FF.00#00-AC-6E-24-18-02>",
            "verified": true, "time_sent": false, "message": ""}]
failed_devices:
  description: The addresses of the devices that failed.
  returned: when orvanctl ran the plan
  type: list
  elements: str
  sample: []
summary:
  description: C(orvanctl)'s summary line.
  returned: when orvanctl printed one
  type: str
  sample: "summary: 2 devices, 2 changed, 0 unchanged, 0 failed"
rc:
  description: C(orvanctl)'s exit status; 1 when any device failed.
  returned: always
  type: int
'''

import json

from ansible_collections.velmarsoft.orvan.plugins.module_utils.orvanctl import (
    FAILED_RESULTS, LOG_OPTION, Orvanctl, device_result, diff_of, message)


def plan_of(module, devices):
    plan = []
    for index, device in enumerate(devices):
        entry = dict(device)
        nested = entry.pop('settings', None)
        if nested is not None:
            if not isinstance(nested, dict):
                module.fail_json(msg='devices[%d]: settings is not a dict' % index)
            for name, value in nested.items():
                if name in entry:
                    module.fail_json(msg='devices[%d]: %s given twice' % (index, name))
                entry[name] = value
        plan.append(entry)
    return plan


def main():
    ctl = Orvanctl(dict(
        LOG_OPTION,
        devices=dict(type='list', elements='dict', required=True),
        parallel=dict(type='int'),
        time=dict(type='bool', default=False),
        verify=dict(type='bool', default=False),
    ))
    module, params = ctl.module, ctl.params

    plan = plan_of(module, params['devices'])
    # Nobody watches a module's stderr while it runs: no progress lines in its messages.
    args = ['apply', '-', '--json', '--quiet']
    if params['parallel'] is not None:
        args += ['--parallel', str(params['parallel'])]
    args += ctl.change_args()

    rc, objects, err = ctl.run(args, data=json.dumps(plan))
    results = [device_result(obj) for obj in objects]
    failed = [r for r in results if r['result'] in FAILED_RESULTS]
    outcome = dict(
        changed=any(r['changed'] for r in results),
        results=results,
        failed_devices=[r['address'] for r in failed],
        rc=rc,
    )
    summary = [line for line in message(err).splitlines() if line.startswith('summary:')]
    if summary:
        outcome['summary'] = summary[-1]
    if module._diff:
        outcome['diff'] = [diff_of(r['address'], r['changes']) for r in results if r['changes']]
    if rc != 0 or failed:
        lines = ['%s: %s' % (r['address'], r['message'] or r['result']) for r in failed]
        ctl.fail(rc, err, '\n'.join(lines) or None, **outcome)
    module.exit_json(**outcome)


if __name__ == '__main__':
    main()
