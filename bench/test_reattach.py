#!/usr/bin/python3
"""Checks of reattach.py's own logic; no root, no servers, nothing timed.

    /usr/bin/python3 bench/test_reattach.py
"""

import os
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reattach  # noqa: E402  pylint: disable=wrong-import-position


def bench(figures, sessions=200):
    b = reattach.ReattachBench(reattach.parse_options(['--accounts', '/nonexistent',
                                                        '--sessions', str(sessions)]))
    b.figures = figures
    return b


def row(table, start):
    """The cells of the row whose figure starts with start."""
    for line in table.splitlines():
        if line.startswith(start):
            return [cell.strip() for cell in line.split('|')]
    raise AssertionError(f'no row {start!r} in\n{table}')


def echo(median, seq=62000):
    return {'median': median, 'p99': median * 2, 'seq bytes': seq, 'seq runs': [seq],
            'seq time': 0.1}


class Options(unittest.TestCase):
    def test_defaults(self):
        options = reattach.parse_options(['--accounts', 'f'])
        self.assertEqual(options.users, ['zavtest67', 'zavtest68'])
        self.assertEqual(options.only, list(reattach.ALL_MEASUREMENTS))
        self.assertEqual(options.sessions, 200)

    def test_refused(self):
        for argv in (['--accounts', 'f', '--users', 'a'],
                     ['--accounts', 'f', '--users', 'a,a'],
                     ['--accounts', 'f', '--only', 'nothing'],
                     ['--accounts', 'f', '--sessions', '0'],
                     []):
            with self.subTest(argv=argv), self.assertRaises(SystemExit):
                with open(os.devnull, 'w') as devnull:
                    stderr, sys.stderr = sys.stderr, devnull
                    try:
                        reattach.parse_options(argv)
                    finally:
                        sys.stderr = stderr


class Table(unittest.TestCase):
    def test_echo_target(self):
        fast = bench({('echo', 'fresh'): echo(0.0003), ('echo', 'reattached'): echo(0.00045),
                      ('echo', 'sshd'): echo(0.0002)}).table()
        self.assertEqual(row(fast, 'echo median')[1:4], ['0.30 ms', '0.45 ms', '0.20 ms'])
        self.assertEqual(row(fast, 'echo median')[-1], 'PASS')
        slow = bench({('echo', 'fresh'): echo(0.0003),
                      ('echo', 'reattached'): echo(0.00051)}).table()
        self.assertEqual(row(slow, 'echo median')[-1], 'FAIL')
        self.assertEqual(row(slow, 'echo median')[3], 'not run')

    def test_seq_within_two_percent(self):
        same = bench({('echo', 'fresh'): echo(0.0003, 62000),
                      ('echo', 'reattached'): echo(0.0003, 63200)}).table()
        self.assertEqual(row(same, 'seq 1 100000: bytes')[-1], 'PASS')
        more = bench({('echo', 'fresh'): echo(0.0003, 62000),
                      ('echo', 'reattached'): echo(0.0003, 63300)}).table()
        self.assertEqual(row(more, 'seq 1 100000: bytes')[-1], 'FAIL')

    def test_restore_and_detached(self):
        table = bench({('restore', 'fresh'): {'screen': 0.3},
                       ('restore', 'reattached'): {'screen': 0.65},
                       ('detached', 'fresh'): {'pss': 3000.4},
                       ('detached', 'reattached'): {'pss': 3100, 'cpu': 0.2}}, 50).table()
        self.assertEqual(row(table, 'client start')[1:], ['0.300 s', '0.650 s', '-',
                                                           'restored <= fresh + 0.3 s', 'FAIL'])
        self.assertEqual(row(table, '50 sessions: memory')[1:3], ['3,000 KiB', '3,100 KiB'])
        self.assertEqual(row(table, '50 detached sessions: CPU')[2:], ['0.200 %', '-',
                                                                       '< 1 % of a core',
                                                                       'PASS'])

    def test_nothing_measured(self):
        table = bench({}).table()
        self.assertEqual(row(table, 'echo median')[1:4], ['not run'] * 3)
        self.assertEqual(row(table, 'echo median')[-1], '-')
        self.assertEqual(bench({}).seq_runs(), [])


if __name__ == '__main__':
    unittest.main()
