#!/usr/bin/env python3
"""Checks the layout that docs/development.md describes: every include
follows the layering of the folders, no header includes itself round
about, no source file is over 400 lines and no function over 60.
Prints one line per fault and exits 1 when there is any."""
import os
import re
import sys

MAX_FILE_LINES = 400
MAX_FUNCTION_LINES = 60
CODE = ('.cpp', '.h', '.S', '.js', '.sh', '.py', '.cmake')
FOLDERS = ('host', 'link', 'firmware', 'sim', 'station', 'tests', 'bench', 'scripts', 'cmake')

# Each folder (the longest prefix that names it wins) and the folders it may
# include from, itself always. Tests and benchmarks may include anything.
SIM = ['firmware/', 'host/report_lines.h', 'sim/support/']
STATION_BASE = ['firmware/', 'host/report_lines.h', 'link/board_protocol.h', 'link/port_holders.h', 'sim/support/',
                'sim/analysis/']
LAYERS = {
    'firmware/': ['firmware/'],
    'host/output': ['host/output', 'host/report_lines.h'],
    'host/': ['host/', 'link/', 'firmware/'],
    'link/': ['link/', 'firmware/', 'host/output.h', 'host/report_lines.h'],
    'sim/support/': ['sim/support/'],
    'sim/core/': SIM + ['sim/core/'],
    'sim/board/': SIM + ['sim/core/', 'sim/board/'],
    'sim/analysis/': SIM + ['sim/core/', 'sim/board/', 'sim/analysis/'],
    'sim/gdb/': SIM + ['sim/core/', 'sim/gdb/'],
    'sim/program/': SIM + ['sim/core/', 'sim/board/', 'sim/analysis/', 'sim/gdb/', 'sim/program/'],
    'station/board/': STATION_BASE + ['station/board/'],
    'station/run/': STATION_BASE + ['station/run/'],
    'station/store/': STATION_BASE + ['station/board/', 'station/run/', 'station/store/'],
    'station/outputs/': STATION_BASE + ['station/board/', 'station/run/', 'station/store/', 'station/outputs/'],
    'station/report/': STATION_BASE + ['station/board/', 'station/run/', 'station/store/', 'station/report/'],
    'station/page/': STATION_BASE + ['station/run/', 'station/page/'],
    'station/core/': STATION_BASE + ['station/board/', 'station/run/', 'station/store/', 'station/outputs/', 'station/page/',
                                     'station/core/', 'station/image_digest.h'],
    'station/batch/': STATION_BASE + ['station/board/', 'station/run/', 'station/store/', 'station/outputs/', 'station/page/',
                                      'station/core/', 'station/batch/', 'station/image_digest.h'],
    'station/serve/': STATION_BASE + ['station/board/', 'station/run/', 'station/store/', 'station/outputs/', 'station/page/',
                                      'station/core/', 'station/serve/', 'station/image_digest.h'],
    'station/cli/': STATION_BASE + ['station/board/', 'station/run/', 'station/store/', 'station/outputs/', 'station/report/',
                                    'station/page/', 'station/core/', 'station/batch/', 'station/serve/',
                                    'station/cli/'],
    'station/main.cpp': ['station/cli/'],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def layer_of(path):
    best = None
    for prefix in LAYERS:
        if path.startswith(prefix) and (best is None or len(prefix) > len(best)):
            best = prefix
    return best


def source_files(root):
    for folder in FOLDERS:
        for directory, _, names in os.walk(os.path.join(root, folder)):
            if '/programs' in directory or 'third_party' in directory:
                continue
            for name in sorted(names):
                if name.endswith(CODE):
                    yield os.path.relpath(os.path.join(directory, name), root)


def check_includes(path, lines, faults, graph):
    layer = layer_of(path)
    for number, line in enumerate(lines, 1):
        match = INCLUDE.match(line)
        if not match or '/' not in match.group(1):
            continue
        included = match.group(1)
        graph.setdefault(path, []).append(included)
        if layer and not any(included.startswith(allowed) for allowed in LAYERS[layer]):
            faults.append(f'{path}:{number}: includes {included} against the layering ({layer} is below it)')


def function_lengths(lines):
    """(line, length) of each body that a '{' alone on its line opens."""
    for number, line in enumerate(lines):
        if line.strip() != '{':
            continue
        before = next((l.strip() for l in reversed(lines[:number]) if l.strip()), '')
        if before.endswith(('=', ',')) or re.match(r'(class|struct|enum|union)\b', before):
            continue
        indent = line[:len(line) - len(line.lstrip())]
        for end in range(number + 1, len(lines)):
            if lines[end].rstrip() in (indent + '}', indent + '};'):
                yield number + 1, end - number - 1
                break


def check_lengths(path, lines, faults):
    if len(lines) > MAX_FILE_LINES:
        faults.append(f'{path}: {len(lines)} lines, over {MAX_FILE_LINES}')
    if path.endswith(('.cpp', '.h')):
        for number, length in function_lengths(lines):
            if length > MAX_FUNCTION_LINES:
                faults.append(f'{path}:{number}: a function of {length} lines, over {MAX_FUNCTION_LINES}')


def check_cycles(graph, faults):
    state = {}

    def visit(node, trail):
        state[node] = 'open'
        for target in graph.get(node, []):
            if state.get(target) == 'open':
                cycle = trail[trail.index(target):] + [target]
                faults.append('an include cycle: ' + ' -> '.join(cycle))
            elif target not in state:
                visit(target, trail + [target])
        state[node] = 'done'

    for node in sorted(graph):
        if node.endswith('.h') and node not in state:
            visit(node, [node])


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..')
    faults, graph = [], {}
    for path in source_files(root):
        with open(os.path.join(root, path), encoding='utf-8', errors='replace') as f:
            lines = f.read().split('\n')
        if lines and lines[-1] == '':
            lines.pop()
        check_includes(path, lines, faults, graph)
        check_lengths(path, lines, faults)
    check_cycles(graph, faults)
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
