# -*- coding: utf-8 -*-
# Copyright: Velmar Soft
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
name: scan
short_description: The handset-controller devices that answer in ranges of addresses
description:
  - Runs C(orvanctl scan --json) over each of I(ranges) on the control node and adds one host per
    device that answered, with its seven settings as host variables.
  - The source is a YAML file whose name ends in C(.orvan.yml) or C(.orvan.yaml), with
    C(plugin) set to C(velmarsoft.orvan.scan); the C(auto) inventory plugin, enabled by
    default, hands it here.
  - Each host is named by the device's address, or with I(hostname) C(mac) by its MAC text made
    a safe name (every character but letters, digits, C(.), C(-) and C(_) as C(_)). A device is
    named by its address instead when that name is empty, shared with another device, shaped
    like an address other than its own, C(all), C(ungrouped) or C(localhost), the name of a
    group (of this source or one read before it) or of a host another source lists; C(-v) says
    which and why. Every device that answered is one host, and a host named by an address has
    that address in C(orvan_address).
  - Every C(orvan_*) variable, and whatever I(compose), I(groups) and I(keyed_groups) make of
    them, is marked unsafe, as Ansible's own inventory plugins mark remote data, so a template in
    a device's text is never evaluated; a MAC text C({{ 7*7 }}) stays those seven characters, in
    the inventory and in a play.
  - "Host variables: C(orvan_address), C(orvan_port), and the settings C(orvan_telemetry_port),
    C(orvan_h323_port), C(orvan_gateway), C(orvan_ip), C(orvan_controller), C(orvan_mask) and
    C(orvan_mac) (ports are numbers, the rest text, null where a reply parsed only in part).
    C(ansible_connection) is C(local) unless I(compose) or another source sets it, so that the
    collection's modules run C(orvanctl) on the control node."
  - A scan sends requests only and changes no device. With I(cache) the devices found are kept
    and read back without a scan until I(cache_timeout) has passed or a playbook runs with
    C(--flush-cache); C(ansible-inventory) has no C(--flush-cache), so remove the cache file
    (in I(cache_connection), its name starting with I(cache_prefix)) to scan again at once.
  - With C(-v) the scan's messages and progress lines (every 10 s on a long scan) are shown on
    stderr as they come.
options:
  plugin:
    description: The name of this plugin; marks the file as its source.
    type: str
    required: true
    choices: [velmarsoft.orvan.scan]
  ranges:
    description:
      - The ranges to scan, each C(A.B.C.D/NN) (NN 16 to 32) or C(FIRST-LAST); a device in
        several is listed once.
    type: list
    elements: str
    required: true
  hostname:
    description: What names each host, its C(address) or its C(mac) text.
    type: str
    choices: [address, mac]
    default: address
  port:
    description:
      - The device UDP port, 1 to 65535; C(orvanctl) binds it locally too. When not given,
        C(orvanctl)'s default, 4000.
    type: int
  rate:
    description: Requests per second, 1 to 10000. When not given, C(orvanctl)'s default, 200.
    type: float
  wait:
    description:
      - Seconds to wait for replies after the last request of each round, 0 to 60. When not
        given, the I(timeout) (C(orvanctl)'s default, 1).
    type: float
  timeout:
    description: Seconds to wait for each reply, 0.01 to 60; the I(wait) when that is not given.
    type: float
  retries:
    description: Rounds more for the addresses that did not answer, 0 to 10. When not given, 0.
    type: int
  source:
    description:
      - The local address to send from (dotted IPv4); the device port is bound on it only.
        When not given, C(orvanctl) takes the local address that routes to each device.
    type: str
  broadcast:
    description: Allow broadcast addresses, and ask a network's broadcast address too.
    type: bool
    default: false
  port_wait:
    description:
      - Seconds to wait while another C(orvanctl) on the control node holds the device port.
        When not given, C(orvanctl)'s default, 30.
    type: float
  orvanctl_path:
    description: The C(orvanctl) program to run; when not given, C(orvanctl) is looked for on C(PATH).
    type: path
  cache_timeout:
    description:
      - Seconds the devices a scan found are read back from the cache; C(0) keeps them for ever.
        One minute unless set, so that a site changed since (a unit swapped, a device readdressed)
        is seen on the next run; set it longer for ranges that take long to scan.
    type: int
    default: 60
extends_documentation_fragment:
  - ansible.builtin.constructed
  - ansible.builtin.inventory_cache
notes:
  - A scan of a /16 on one link takes about 13 minutes, most of it the kernel resolving the
    addresses that do not answer; C(broadcast) with the link's broadcast address finds the
    devices of one link in one request.
requirements:
  - orvanctl (package C(orvan)) on the control node
author:
  - Velmar Soft Orvan maintainers (@velmarsoft)
'''

EXAMPLES = r'''
# site.orvan.yml: the devices of one segment; `ansible-inventory -i site.orvan.yml --graph`
plugin: velmarsoft.orvan.scan
ranges:
  - 10.20.0.0/24
wait: 0.5
# A group per gateway (gateway_10_20_0_1, ...), and one for the devices on the old port.
keyed_groups:
  - key: orvan_gateway
    prefix: gateway
groups:
  old_telemetry_port: orvan_telemetry_port == 6024
compose:
  site: "'tower-b'"

---
# towers.orvan.yml: named by MAC text, through the site's jump host, scanned once an hour.
plugin: velmarsoft.orvan.scan
ranges: [10.20.0.0/24, 10.21.0.10-10.21.0.60]
hostname: mac
rate: 500
compose:
  ansible_connection: "'ssh'"
  ansible_host: "'jump-b.example.net'"
cache: true
cache_plugin: ansible.builtin.jsonfile
cache_connection: ~/.cache/orvan-inventory
cache_timeout: 3600
'''

import ipaddress
import json
import re
import socket
import subprocess
import tempfile
from collections import Counter

from ansible.errors import AnsibleParserError
from ansible.inventory.data import InventoryData
from ansible.module_utils.common.process import get_bin_path
from ansible.module_utils.common.text.converters import to_native, to_text
from ansible.plugins.inventory import BaseInventoryPlugin, Cacheable, Constructable
from ansible.utils.unsafe_proxy import wrap_var

from ansible_collections.velmarsoft.orvan.plugins.module_utils.orvanctl import (
    EXIT_MEANINGS, SETTINGS, flag, message, number, parse_objects)

NO_DEVICE = 7
PREFIX = 'orvan_'
# Names Ansible gives a meaning of its own: a host so named would stand for more than a device.
RESERVED = ('all', 'ungrouped', 'localhost')


def safe_name(text):
    return re.sub(r'[^A-Za-z0-9_.-]', '_', text if isinstance(text, str) else '')


def is_address(text):
    """Whether text is an IPv4 address written as orvanctl writes one."""
    try:
        return isinstance(text, str) and str(ipaddress.IPv4Address(text)) == text
    except ValueError:
        return False


def as_stored(devices):
    """Whether devices read back from the cache are what scan_all returns: one each address."""
    return (isinstance(devices, list) and all(isinstance(d, dict) and is_address(d.get('address')) for d in devices)
            and len(set(d['address'] for d in devices)) == len(devices))


def address_shaped(name):
    """Whether name could be read as an IPv4 address, in any form the C library takes
    (10.0.26, 0x0a.0.0.26, 167772186), or is digits and dots alone."""
    if not name.strip('0123456789.'):
        return True
    try:
        socket.inet_aton(name)
    except (OSError, ValueError):
        return False
    return True


def host_names(devices, by_mac, taken=()):
    """Each device's host name, in the order given, with why a device is named by its address
    under by_mac (None where its MAC text names it). taken: names of groups and of other
    sources' hosts, which no device may take."""
    addresses = [d['address'] for d in devices]
    if not by_mac:
        return [(a, None) for a in addresses]
    names = [safe_name(d.get('mac')) for d in devices]
    uses = Counter(names)
    result = []
    for name, address in zip(names, addresses):
        if name == address:
            result.append((name, None))
            continue
        if not name:
            why = 'its MAC text is empty'
        elif address_shaped(name):
            why = 'looks like an address'
        elif name in RESERVED:
            why = 'is a name Ansible keeps for itself'
        elif uses[name] > 1:
            why = 'is the name of another device too'
        elif name in taken:
            why = 'is the name of a group or of another source\'s host'
        else:
            result.append((name, None))
            continue
        if name:
            why = '%s, from its MAC text, %s' % (json.dumps(name), why)
        result.append((address, why))
    return result


class InventoryModule(BaseInventoryPlugin, Constructable, Cacheable):

    NAME = 'velmarsoft.orvan.scan'

    def verify_file(self, path):
        return (super(InventoryModule, self).verify_file(path)
                and path.endswith(('.orvan.yml', '.orvan.yaml')))

    def parse(self, inventory, loader, path, cache=True):
        super(InventoryModule, self).parse(inventory, loader, path, cache=cache)
        self._read_config_data(path)
        # As Ansible's own inventory plugins do: read back unless flushed, store what was scanned.
        key = self.get_cache_key(path)
        read_cache = self.get_option('cache') and cache
        update_cache = self.get_option('cache') and not cache
        devices = None
        if read_cache:
            try:
                devices = self._cache[key]
            except KeyError:
                update_cache = True
            if devices is not None and not as_stored(devices):
                # Another version's, or changed by hand: its addresses would name hosts.
                self.display.warning('velmarsoft.orvan.scan: the cache of %s is not what a scan stores; '
                                     'scanning again' % to_native(path))
                devices = None
                update_cache = True
        if devices is None:
            devices = self.scan_all()
        if update_cache:
            self._cache[key] = devices
        self.populate(devices)

    def argv(self, program, scan_range):
        args = [program, 'scan', scan_range, '--json']
        for name in ('port', 'rate', 'wait', 'timeout', 'retries', 'source', 'port_wait'):
            value = self.get_option(name)
            if value is not None:
                args += [flag(name), number(value)]
        if self.get_option('broadcast'):
            args.append('--broadcast')
        if self.display.verbosity < 1:
            args.append('--quiet')
        return args

    def scan_all(self):
        program = self.get_option('orvanctl_path')
        if not program:
            try:
                program = get_bin_path('orvanctl')
            except ValueError as e:
                raise AnsibleParserError('velmarsoft.orvan.scan: %s' % to_native(e))
        found = {}
        for scan_range in self.get_option('ranges'):
            for device in self.scan(self.argv(program, scan_range)):
                found.setdefault(device['address'], device)
        # By address, as orvanctl sorts one range's devices.
        return [found[a] for a in sorted(found, key=lambda a: tuple(int(p) for p in a.split('.')))]

    def scan(self, argv):
        """The devices one orvanctl scan found; its stderr shown with -v as it comes."""
        lines = []
        with tempfile.TemporaryFile() as out:
            try:
                proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.PIPE)
            except OSError as e:
                raise AnsibleParserError('velmarsoft.orvan.scan: cannot run %s: %s' % (argv[0], to_native(e)))
            for raw in proc.stderr:
                line = to_text(raw, errors='surrogate_or_replace').rstrip('\n')
                lines.append(line)
                if self.display.verbosity >= 1:
                    self.display.display(line, stderr=True)
            proc.stderr.close()
            rc = proc.wait()
            out.seek(0)
            text = to_text(out.read(), errors='surrogate_or_replace')
        if rc not in (0, NO_DEVICE):
            raise AnsibleParserError('velmarsoft.orvan.scan: %s: %s (rc %d)' % (
                ' '.join(argv[1:3]), message('\n'.join(lines)) or EXIT_MEANINGS.get(rc, 'failed'), rc))
        try:
            devices = [d for d in parse_objects(text) if isinstance(d, dict) and d.get('address')]
        except ValueError:
            raise AnsibleParserError('velmarsoft.orvan.scan: orvanctl printed something that is not JSON: %s' % text)
        for d in devices:
            # It names a host, so nothing but an address.
            if not is_address(d['address']):
                raise AnsibleParserError('velmarsoft.orvan.scan: orvanctl printed %s as an address'
                                         % json.dumps(d['address']))
        return devices

    def add(self, name, device):
        """The device as host name, its values unsafe, then what compose, groups and
        keyed_groups make of them."""
        strict = self.get_option('strict')
        self.inventory.add_host(name)
        # What a device says is data: no template in it is ever evaluated.
        variables = {PREFIX + 'address': device['address'], PREFIX + 'port': device.get('port')}
        for setting in SETTINGS:
            variables[PREFIX + setting] = device.get(setting)
        variables = dict((k, wrap_var(v)) for k, v in variables.items())
        for variable, value in variables.items():
            self.inventory.set_variable(name, variable, value)
        # Templating marks what it makes of them unsafe too.
        self._set_composite_vars(self.get_option('compose'), variables, name, strict=strict)
        self._add_host_to_composed_groups(self.get_option('groups'), variables, name, strict=strict)
        self._add_host_to_keyed_groups(self.get_option('keyed_groups'), variables, name, strict=strict)
        if 'ansible_connection' not in self.inventory.get_host(name).get_vars():
            self.inventory.set_variable(name, 'ansible_connection', 'local')

    def groups_made(self, devices):
        """The groups this source makes of these devices, found on a scratch inventory so
        that no host is named before every group is known."""
        real = self.inventory
        self.inventory = InventoryData()
        try:
            for device in devices:
                self.add(device['address'], device)
            return set(self.inventory.groups)
        finally:
            self.inventory = real

    def populate(self, devices):
        by_mac = self.get_option('hostname') == 'mac'
        taken = set()
        if by_mac:
            taken = set(self.inventory.groups) | set(self.inventory.hosts) | self.groups_made(devices)
        for (name, why), device in zip(host_names(devices, by_mac, taken), devices):
            if why and self.display.verbosity >= 1:
                # On stderr with the scan's own lines, apart from --list's JSON.
                self.display.display('velmarsoft.orvan.scan: %s is named by its address: %s' % (name, why),
                                     stderr=True)
            self.add(name, device)
