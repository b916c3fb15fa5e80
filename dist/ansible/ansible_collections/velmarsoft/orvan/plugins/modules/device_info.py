# -*- coding: utf-8 -*-
# Copyright: Velmar Soft
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: device_info
short_description: Read a handset-controller device's seven network settings
description:
  - Reads the device with C(orvanctl get); sends the request and nothing else, so it changes
    nothing and runs the same in check mode.
  - A reply that parses only in part is returned with I(partial) true and the settings that
    did not convert in I(missing) (null in I(settings)); the task does not fail for it.
  - A device that does not answer fails the task with C(orvanctl)'s message and I(rc) 3.
extends_documentation_fragment:
  - velmarsoft.orvan.orvanctl
  - velmarsoft.orvan.orvanctl.address
  - ansible.builtin.action_common_attributes
attributes:
  diff_mode:
    support: none
'''

EXAMPLES = r'''
- name: Read a device
  velmarsoft.orvan.device_info:
    address: 10.20.0.31
  register: device

- name: Use what was read
  ansible.builtin.debug:
    msg: "{{ device.address }} is at {{ device.settings.ip }}, telemetry on {{ device.settings.telemetry_port }}"
'''

RETURN = r'''
address:
  description: The device's address.
  returned: success
  type: str
  sample: 10.20.0.31
port:
  description: The device port asked.
  returned: success
  type: int
  sample: 4000
settings:
  description: The seven settings; ports are numbers, the rest text; null where not converted.
  returned: success
  type: dict
  contains:
    telemetry_port:
      description: The telemetry port.
      type: int
      returned: success
    h323_port:
      description: The H.323 port.
      type: int
      returned: success
    gateway:
      description: The gateway address.
      type: str
      returned: success
    ip:
      description: The device's own address.
      type: str
      returned: success
    controller:
      description: The handset-controller address.
      type: str
      returned: success
    mask:
      description: The network mask.
      type: str
      returned: success
    mac:
      description: The MAC address text.
      type: str
      returned: success
  sample: {"telemetry_port": 6024, "h323_port": 6025, "gateway": "10.20.0.1", "ip": "10.20.0.31",
           "controller": "10.20.0.240", "mask": "255.255.255.0", "mac": "00-AC-6E-24-18-02"}
partial:
  description: Whether the reply parsed only in part.
  returned: success
  type: bool
missing:
  description: The settings that did not convert.
  returned: success
  type: list
  elements: str
  sample: []
rc:
  description: C(orvanctl)'s exit status.
  returned: failure
  type: int
'''

from ansible_collections.velmarsoft.orvan.plugins.module_utils.orvanctl import Orvanctl, settings_of

PARTIAL_REPLY = 4


def main():
    ctl = Orvanctl(dict(address=dict(type='str', required=True)))
    rc, objects, err = ctl.run(['get', ctl.params['address'], '--json'], done=(0, PARTIAL_REPLY))
    if rc not in (0, PARTIAL_REPLY):
        ctl.fail(rc, err)
    obj = objects[-1]
    missing = obj.get('missing') or []
    # No rc in a result that succeeds: Ansible fails a task whose rc is not 0.
    ctl.module.exit_json(changed=False, address=obj.get('address'), port=obj.get('port'),
                     settings=settings_of(obj), partial=bool(obj.get('partial') or missing),
                     missing=missing)


if __name__ == '__main__':
    main()
