#!/usr/bin/env python3
"""The layout check finds each kind of fault in a small tree of its own,
and nothing in a tree that keeps the rules."""
import os
import subprocess
import sys
import tempfile
import unittest

CHECK = os.path.join(os.path.dirname(__file__), '..', '..', 'scripts', 'check_layout.py')


def function(lines):
    return 'void f()\n{\n' + 'x();\n' * lines + '}\n'


CASES = [
    # name, files, a line the check prints (None: it prints nothing)
    ('KeepsTheRules', {'station/run/a.h': '#include "station/run/b.h"\n', 'station/run/b.h': '',
                       'station/serve/c.cpp': '#include "station/core/d.h"\n' + function(60)}, None),
    ('AnIncludeAgainstTheLayering', {'station/run/a.h': '#include "station/serve/b.h"\n'},
     'station/run/a.h:1: includes station/serve/b.h against the layering'),
    ('TheModesApart', {'station/batch/a.cpp': '#include "station/serve/b.h"\n'},
     'station/batch/a.cpp:1: includes station/serve/b.h against the layering'),
    ('ASimulatorPartAbove', {'sim/core/a.cpp': '#include "sim/board/b.h"\n'},
     'sim/core/a.cpp:1: includes sim/board/b.h against the layering'),
    ('AnIncludeCycle', {'station/run/a.h': '#include "station/run/b.h"\n',
                        'station/run/b.h': '#include "station/run/a.h"\n'},
     'an include cycle: station/run/a.h -> station/run/b.h -> station/run/a.h'),
    ('ALongFile', {'host/a.cpp': '\n' * 401}, 'host/a.cpp: 401 lines, over 400'),
    ('ALongFunction', {'tests/a.cpp': function(61)}, 'tests/a.cpp:2: a function of 61 lines, over 60'),
]


class LayoutCheck(unittest.TestCase):
    def test_cases(self):
        for name, files, expected in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as root:
                for path, text in files.items():
                    os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                    with open(os.path.join(root, path), 'w') as f:
                        f.write(text)
                done = subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True)
                if expected is None:
                    self.assertEqual((done.returncode, done.stdout), (0, ''))
                else:
                    self.assertEqual(done.returncode, 1)
                    self.assertIn(expected, done.stdout)


if __name__ == '__main__':
    unittest.main()
