# -*- coding: utf-8 -*-
# Copyright: Velmar Soft
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: scan
short_description: Find the handset-controller devices in a range of addresses
description:
  - Asks every address of a range with C(orvanctl scan) at a bounded rate and returns each
    device that answered with its settings, by address. Sends requests only, so it changes
    nothing and runs the same in check mode.
  - No device answering is not a failure; I(devices) is then empty.
  - Each device in I(devices) can be given to M(velmarsoft.orvan.apply) as it is.
options:
  range:
    description:
      - C(A.B.C.D/NN) (NN 16 to 32) or C(FIRST-LAST).
    type: str
    required: true
  rate:
    description:
      - Requests per second, 1 to 10000. When not given, C(orvanctl)'s default, 200.
    type: float
  wait:
    description:
      - Seconds to wait for replies after the last request of each round, 0 to 60. When not
        given, C(orvanctl)'s default, the I(timeout).
    type: float
  broadcast:
    description:
      - Allow broadcast addresses, and ask a network's broadcast address too.
    type: bool
    default: false
extends_documentation_fragment:
  - velmarsoft.orvan.orvanctl
  - ansible.builtin.action_common_attributes
attributes:
  diff_mode:
    support: none
'''

EXAMPLES = r'''
- name: Find the devices of a site's segment
  velmarsoft.orvan.scan:
    range: 10.20.0.0/24
  register: found

- name: List them
  ansible.builtin.debug:
    msg: "{{ found.devices | map(attribute='address') | list }}"
'''

RETURN = r'''
devices:
  description:
    - One object per device that answered, sorted by address; the same fields as
      M(velmarsoft.orvan.device_info) returns in I(settings), beside C(address) and C(port).
    - A reply that parsed only in part has its missing settings null and listed in C(missing).
  returned: success
  type: list
  elements: dict
  sample: [{"address": "10.20.0.31", "port": 4000, "telemetry_port": 6024, "h323_port": 6025,
            "gateway": "10.20.0.1", "ip": "10.20.0.31", "controller": "10.20.0.240",
            "mask": "255.255.255.0", "mac": "00-AC-6E-24-18-02"}]
rc:
  description: C(orvanctl)'s exit status.
  returned: failure
  type: int
'''

from ansible_collections.velmarsoft.orvan.plugins.module_utils.orvanctl import Orvanctl, number

NO_DEVICE = 7


def main():
    ctl = Orvanctl(dict(
        range=dict(type='str', required=True),
        rate=dict(type='float'),
        wait=dict(type='float'),
        broadcast=dict(type='bool', default=False),
    ))
    params = ctl.params

    # Nobody watches a module's stderr while it runs: no progress lines in its messages.
    args = ['scan', params['range'], '--json', '--quiet']
    for name in ('rate', 'wait'):
        if params[name] is not None:
            args += ['--' + name, number(params[name])]
    if params['broadcast']:
        args.append('--broadcast')
    rc, objects, err = ctl.run(args, done=(0, NO_DEVICE))
    if rc not in (0, NO_DEVICE):
        ctl.fail(rc, err, devices=objects)
    # No rc in a result that succeeds: Ansible fails a task whose rc is not 0.
    ctl.module.exit_json(changed=False, devices=objects)


if __name__ == '__main__':
    main()
