# -*- coding: utf-8 -*-
# Copyright: Velmar Soft
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):

    # What every module shares: the options every orvanctl subcommand takes, and more.
    DOCUMENTATION = r'''
author:
  - Velmar Soft Orvan maintainers (@velmarsoft)
attributes:
  check_mode:
    support: full
  platform:
    platforms: posix
options:
  port:
    description:
      - The device UDP port, 1 to 65535; C(orvanctl) binds it locally too.
      - When not given, C(orvanctl)'s default, 4000.
    type: int
  timeout:
    description:
      - Seconds to wait for each reply, 0.01 to 60.
      - When not given, C(orvanctl)'s default, 1.
    type: float
  retries:
    description:
      - Requests sent again after a timeout, 0 to 10; for M(velmarsoft.orvan.scan), rounds
        more for the addresses that did not answer.
      - When not given, C(orvanctl)'s default, 2 (0 for M(velmarsoft.orvan.scan)).
    type: int
  source:
    description:
      - The local address to send from (dotted IPv4); the device port is bound on it only.
      - When not given, C(orvanctl) takes the local address that routes to each device.
    type: str
  port_wait:
    description:
      - Seconds to wait while another C(orvanctl) on this host holds the device port of the
        same local address.
      - Several tasks on one host at once (forks) take turns on the port this way; a port held
        by any other program fails at once with I(rc) 5.
    type: float
    default: 30
  orvanctl_path:
    description:
      - The C(orvanctl) program to run; when not given, C(orvanctl) is looked for on C(PATH).
    type: path
notes:
  - Every device exchange, check and rule is C(orvanctl)'s; the module runs it on the target
    host (usually a site's jump host with the C(orvan) package installed) and turns its JSON
    and exit status into the task's result.
  - On failure I(rc) is C(orvanctl)'s exit status, I(msg) its message. 1 failed, 2 usage error
    or invalid value (nothing was sent), 3 no reply, 4 partial reply, 5 port taken, 6 verify
    failed, 7 no device found, 130 interrupted.
requirements:
  - orvanctl (package C(orvan)) on the target host
'''

    # The device a module reads or changes, one address.
    ADDRESS = r'''
options:
  address:
    description:
      - The device's address, dotted IPv4.
    type: str
    required: true
'''

    # Modules that send commands: the record of every one.
    LOG = r'''
options:
  log:
    description:
      - A file on the host that runs C(orvanctl) to append one JSON line to for each
        configuration or time command sent, as C(orvanctl --log) does; each tells when, from
        which local address, to which device, its settings before and after, the command and
        the result.
      - Only ever appended to, never truncated, never written through a link; keep one per
        site.
      - In check mode nothing is sent but the requests, and the file is left alone.
    type: path
'''
