# -*- coding: utf-8 -*-
# Copyright: Velmar Soft
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: device
short_description: Set a handset-controller device's network settings
description:
  - Reads the device with C(orvanctl set), changes the settings named in I(settings) and
    writes them in one configuration command, only when something differs. A device that
    already matches gets only the request, and the task reports no change.
  - Every value is checked by C(orvanctl) before anything is sent; an invalid one fails the
    task with I(rc) 2 and nothing sent.
  - In check mode it runs C(orvanctl set --dry-run) instead; the device gets the request and
    nothing else, and I(changed) tells whether a real run would change it. I(command) holds the
    configuration command a real run would send.
  - In diff mode the old and new value of each setting that changes are shown.
  - A device that does not answer, answers in part or fails verification fails the task with
    C(orvanctl)'s message in I(msg) and its exit status in I(rc).
options:
  settings:
    description:
      - The settings to have; those not named are left as the device has them.
    type: dict
    required: true
    suboptions:
      telemetry_port:
        description: The telemetry port, 1 to 65535.
        type: int
      h323_port:
        description: The H.323 port, 1 to 65535.
        type: int
      gateway:
        description: The gateway address, dotted IPv4.
        type: str
      ip:
        description:
          - The device's own address, dotted IPv4. With I(verify) the device is read again at
            the new address, which must be reachable from the host.
        type: str
      controller:
        description: The handset-controller address, dotted IPv4.
        type: str
      mask:
        description: The network mask, dotted IPv4.
        type: str
      mac:
        description: The MAC address text, without C(>).
        type: str
  time:
    description:
      - Also set the device's clock to the host's local time, 500 ms after a configuration
        command. Only sent when a command is.
    type: bool
    default: false
  verify:
    description:
      - After a change, read the device again and fail unless every setting matches.
    type: bool
    default: false
extends_documentation_fragment:
  - velmarsoft.orvan.orvanctl
  - velmarsoft.orvan.orvanctl.log
  - velmarsoft.orvan.orvanctl.address
  - ansible.builtin.action_common_attributes
attributes:
  diff_mode:
    support: full
'''

EXAMPLES = r'''
- name: Move the telemetry port and the gateway
  velmarsoft.orvan.device:
    address: 10.20.0.31
    settings:
      telemetry_port: 7001
      gateway: 10.20.0.1
    verify: true
    log: /var/log/orvan/tower-b.log

- name: See what would change, sending nothing but the request
  velmarsoft.orvan.device:
    address: 10.20.0.31
    settings:
      mask: 255.255.255.0
  check_mode: true
  diff: true
  register: planned

- name: From the jump host of each device's site, one address local to it
  velmarsoft.orvan.device:
    address: "{{ device_address }}"
    settings: "{{ device_settings }}"
    source: "{{ site_local_address }}"
    time: true
  delegate_to: "{{ site_jump_host }}"
'''

RETURN = r'''
address:
  description: The device's address.
  returned: when the device was asked
  type: str
  sample: 10.20.0.31
result:
  description:
    - C(orvanctl)'s word for what happened; C(changed), C(unchanged), C(dry-run) (check mode
      with a change to make), C(no-reply), C(partial), C(verify-failed), C(failed),
      C(interrupted).
  returned: when the device was asked
  type: str
  sample: changed
settings:
  description: The seven settings as read from the device before any change; null where not read.
  returned: when the device was asked
  type: dict
  sample: {"telemetry_port": 6024, "h323_port": 6025, "gateway": "10.20.0.1", "ip": "10.20.0.31",
           "controller": "10.20.0.240", "mask": "255.255.255.0", "mac": "00-AC-6E-24-18-02"}
changes:
  description: Each setting that differs, with its old and new value.
  returned: when the device was asked
  type: list
  elements: dict
  sample: [{"setting": "telemetry_port", "from": 6024, "to": 7001}]
command:
  description: The configuration command bytes as text, when one was built (also in check mode); null otherwise.
  returned: when the device was asked
  type: str
  sample: "<1B59#1789#0A.14.00.01#0A.14.00.1F#0A.14.00.F0#FF.FF.FF.00#00-AC-6E-24-18-02>"
after:
  description: The seven settings as read again with I(verify).
  returned: when the device was read again
  type: dict
sent:
  description: What was sent to the device; C(request), C(command), C(time), each true or false.
  returned: when orvanctl tells
  type: dict
  sample: {"request": true, "command": true, "time": false}
verified:
  description: Whether the device was read again and matched.
  returned: when the device was asked
  type: bool
time_sent:
  description: Whether the time command was sent.
  returned: when the device was asked
  type: bool
rc:
  description: C(orvanctl)'s exit status.
  returned: always
  type: int
  sample: 0
'''

from ansible_collections.velmarsoft.orvan.plugins.module_utils.orvanctl import (
    FAILED_RESULTS, LOG_OPTION, SETTINGS, SETTINGS_OPTIONS, Orvanctl, device_result, diff_of, flag,
    number)


def main():
    ctl = Orvanctl(dict(
        LOG_OPTION,
        address=dict(type='str', required=True),
        settings=dict(type='dict', required=True, options=SETTINGS_OPTIONS),
        time=dict(type='bool', default=False),
        verify=dict(type='bool', default=False),
    ))
    module, params = ctl.module, ctl.params

    args = ['set', params['address'], '--json']
    for name in SETTINGS:
        value = params['settings'].get(name)
        if value is not None:
            args += [flag(name), number(value)]
    if len(args) == 3:
        module.fail_json(msg='settings: name at least one of ' + ', '.join(SETTINGS))
    args += ctl.change_args()

    rc, objects, err = ctl.run(args)
    result = device_result(objects[-1])
    result['rc'] = rc
    if module._diff and result['changes']:
        result['diff'] = diff_of(result['address'], result['changes'])
    if rc != 0 or result['result'] in FAILED_RESULTS:
        message = result.get('message')
        ctl.fail(rc, err, '%s: %s' % (result['address'], message) if message else None, **result)
    module.exit_json(**result)


if __name__ == '__main__':
    main()
