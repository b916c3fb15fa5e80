# -*- coding: utf-8 -*-
# Copyright: Velmar Soft
# GNU General Public License v3.0+ (see https://www.gnu.org/licenses/gpl-3.0.txt)

# What every module of the collection shares: finding orvanctl, the options every subcommand
# takes, running it and reading its JSON. The device exchange and every check stay in
# orvanctl; nothing here talks to a device.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

from ansible.module_utils.basic import AnsibleModule

# The seven settings in orvanctl's order; set takes each as --NAME with dashes.
SETTINGS = ('telemetry_port', 'h323_port', 'gateway', 'ip', 'controller', 'mask', 'mac')

SETTINGS_OPTIONS = dict(
    telemetry_port=dict(type='int'),
    h323_port=dict(type='int'),
    gateway=dict(type='str'),
    ip=dict(type='str'),
    controller=dict(type='str'),
    mask=dict(type='str'),
    mac=dict(type='str'),
)

# Modules that send commands take the record of them.
LOG_OPTION = dict(log=dict(type='path'))

COMMON_OPTIONS = dict(
    port=dict(type='int'),
    timeout=dict(type='float'),
    retries=dict(type='int'),
    source=dict(type='str'),
    port_wait=dict(type='float', default=30),
    orvanctl_path=dict(type='path'),
)

# Results that end a device's task in failure; anything else is done.
FAILED_RESULTS = ('no-reply', 'partial', 'verify-failed', 'failed', 'interrupted', 'mismatch')
# Results that change the device (or would, in a dry run).
CHANGING_RESULTS = ('changed', 'dry-run')

EXIT_MEANINGS = {
    1: 'failed',
    2: 'usage error or invalid value; nothing was sent',
    3: 'no reply',
    4: 'partial reply',
    5: 'the device port is taken on the local address',
    6: 'verify failed',
    7: 'no device found',
    130: 'interrupted',
}


def flag(name):
    return '--' + name.replace('_', '-')


def number(value):
    # 30.0 as "30": orvanctl may take whole seconds only.
    return '%g' % value if isinstance(value, float) else str(value)


def parse_objects(text):
    """Every JSON object in text: one a line, or pretty-printed over several."""
    decoder = json.JSONDecoder()
    objects = []
    index = 0
    while True:
        while index < len(text) and text[index].isspace():
            index += 1
        if index >= len(text):
            return objects
        value, index = decoder.raw_decode(text, index)
        objects.append(value)


def settings_of(obj):
    """The seven settings of a settings or result object ("before", "after"), or None."""
    if not isinstance(obj, dict):
        return None
    return dict((name, obj.get(name)) for name in SETTINGS)


def device_result(obj):
    """One device's result object from set or apply as the task's result."""
    result = dict(
        address=obj.get('address'),
        result=obj.get('result'),
        changes=obj.get('changes') or [],
        command=obj.get('command'),
        settings=settings_of(obj.get('before')),
        verified=bool(obj.get('verified')),
        time_sent=bool(obj.get('time_sent')),
        message=obj.get('message') or '',
    )
    for optional in ('sent', 'skipped'):
        if optional in obj:
            result[optional] = obj[optional]
    if 'after' in obj:
        result['after'] = settings_of(obj['after'])
    # A verify failure comes after the command was sent: the device did change.
    sent = obj.get('sent') or {}
    result['changed'] = (result['result'] in CHANGING_RESULTS or result['result'] == 'verify-failed'
                         or bool(sent.get('command')) or result['time_sent'])
    return result


def diff_of(address, changes):
    return dict(
        before_header='%s (before)' % address,
        after_header='%s (after)' % address,
        before=dict((c['setting'], c['from']) for c in changes),
        after=dict((c['setting'], c['to']) for c in changes),
    )


class Orvanctl(object):
    """One module run: its AnsibleModule, with the options every subcommand takes added to the
    module's own, and the orvanctl program it runs."""

    def __init__(self, options):
        self.module = AnsibleModule(dict(options, **COMMON_OPTIONS), supports_check_mode=True)
        self.params = self.module.params
        self.argv = []

    def program(self):
        # Looked for only when run, so that the module's own checks fail first.
        return self.params.get('orvanctl_path') or self.module.get_bin_path('orvanctl', required=True)

    def change_args(self):
        """--time and --verify as the task asks, --log for a real run, --dry-run in check
        mode (which sends no command, so has nothing to record)."""
        args = [flag(name) for name in ('time', 'verify') if self.params[name]]
        if self.module.check_mode:
            args.append('--dry-run')
        elif self.params.get('log'):
            args += ['--log', self.params['log']]
        return args

    def common_args(self):
        args = []
        for name in ('port', 'timeout', 'retries', 'source', 'port_wait'):
            value = self.params.get(name)
            if value is not None:
                args += [flag(name), number(value)]
        return args

    def run(self, args, data=None, done=(0,)):
        """Runs orvanctl with args and the common options; returns rc, objects, stderr. A run
        that prints no JSON and exits with a status not in done fails the task with orvanctl's
        message."""
        self.argv = [self.program()] + args + self.common_args()
        rc, out, err = self.module.run_command(self.argv, data=data)
        try:
            objects = parse_objects(out)
        except ValueError:
            self.fail(rc, err, 'orvanctl printed something that is not JSON: %s' % out)
        if rc not in done and not objects:
            self.fail(rc, err)
        return rc, objects, err

    def fail(self, code, err, msg=None, **result):
        if not msg:
            msg = message(err) or 'orvanctl exited with %d (%s)' % (code, EXIT_MEANINGS.get(code, '?'))
        result.update(rc=code, stderr=err, cmd=self.argv)
        self.module.fail_json(msg=msg, **result)


def message(stderr):
    """orvanctl's messages without its name in front, one line each."""
    lines = []
    for line in stderr.splitlines():
        if line.startswith('orvanctl: '):
            line = line[len('orvanctl: '):]
        if line.strip():
            lines.append(line)
    return '\n'.join(lines)
