#!/usr/bin/python3
"""Checks of responsiveness.py's own logic; no root, no servers, nothing timed.

    /usr/bin/python3 bench/test_responsiveness.py
"""

import os
import subprocess
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import responsiveness as r  # noqa: E402  pylint: disable=wrong-import-position

import pexpect  # noqa: E402  pylint: disable=wrong-import-position


class Percentile(unittest.TestCase):
    def test_nearest_rank(self):
        values = list(range(1, 201))
        self.assertEqual(r.percentile(values, 0.95), 190)
        self.assertEqual(r.percentile(values, 0.5), 100)
        self.assertEqual(r.percentile([7], 0.95), 7)
        self.assertEqual(r.percentile([3, 1, 2], 1.0), 3)

    def test_no_values(self):
        with self.assertRaises(ValueError):
            r.percentile([], 0.5)


class Scrollback(unittest.TestCase):
    def text(self, numbers, extra=()):
        return '\n'.join(['zb3% cat lines.txt; echo E$((1000+1))X']
                         + [r.numbered_line(n) for n in numbers] + list(extra) + ['E1001X'])

    def test_complete(self):
        self.assertEqual(r.check_scrollback(self.text(range(1, 3001)), 3000),
                         {'lost': 0, 'doubled': 0, 'garbled': 0, 'disorder': 0})

    def test_lost_doubled_and_disorder(self):
        numbers = [1, 2, 3, 3, 5, 4, 7]
        self.assertEqual(r.check_scrollback(self.text(numbers), 7),
                         {'lost': 1, 'doubled': 1, 'garbled': 0, 'disorder': 2})

    def test_garbled_line_is_not_counted_as_present(self):
        broken = r.numbered_line(2)[:-3] + 'XYZ'
        result = r.check_scrollback(self.text([1, 3], [broken]), 3)
        self.assertEqual(result['garbled'], 1)
        self.assertEqual(result['lost'], 1)

    def test_line_behind_other_text_counts(self):
        # A prompt left on the row before the first line must not hide it.
        text = 'zb2% ' + r.numbered_line(1) + '\n' + r.numbered_line(2)
        self.assertEqual(r.check_scrollback(text, 2)['lost'], 0)

    def test_past_the_burst_missing_lines_are_skipped_not_lost(self):
        # The command line above the output scrolls first and takes one of the five.
        numbers = [1, 2, 3, 7, 9, 10]
        self.assertEqual(r.check_scrollback(self.text(numbers), 10, kept=5),
                         {'lost': 1, 'doubled': 0, 'garbled': 0, 'disorder': 0, 'skipped': 3})

    def test_rows_above_the_output_take_the_burst_lines_from_its_end(self):
        text = 'Last login: today\n' + self.text(range(1, 8))
        self.assertEqual(r.check_scrollback(text, 10, kept=9)['lost'], 0)
        self.assertEqual(r.check_scrollback(text, 10, kept=10)['lost'], 1)

    def test_numbers_out_of_range_are_garbled(self):
        self.assertEqual(r.check_scrollback(r.numbered_line(9), 3)['garbled'], 1)

    def test_generator_writes_the_same_lines(self):
        out = subprocess.run([sys.executable, '-c', r.GENERATOR, '250', '1000000'],
                             capture_output=True, text=True, timeout=60, check=True).stdout
        self.assertEqual(out, ''.join(r.numbered_line(i) + '\n' for i in range(1, 251)))

    def test_lines_fit_a_row_and_differ(self):
        self.assertTrue(all(len(r.numbered_line(i)) < 80 for i in range(1, 30)))
        self.assertNotEqual(r.numbered_line(1)[9:], r.numbered_line(2)[9:])


class IndentedText(unittest.TestCase):
    def test_size_shape_and_determinism(self):
        text = r.indented_text(100 * 1024)
        self.assertEqual(len(text), 100 * 1024)
        self.assertTrue(text.endswith(b'\n'))
        self.assertEqual(text, r.indented_text(100 * 1024))
        lines = text.split(b'\n')[:-1]
        indented = [line for line in lines if line.startswith(b'    ')]
        self.assertGreater(len(indented), len(lines) // 2)
        self.assertTrue(all(len(line) < 4000 for line in lines))
        self.assertNotIn(b'\r', text)
        self.assertTrue(all(32 <= b < 127 or b == 10 for b in text))


class IniValues(unittest.TestCase):
    SOURCE = ('; comment trace_file=x\n[ZTerm]\nTrace_Level=0\ntrace_file=brisel.trc\n'
              '; refresh_delay=5\nrefresh_delay=10\n[Other]\ntrace_file=keep\n')

    def test_replaces_in_section_only(self):
        out = r.set_ini_values(self.SOURCE, 'zterm', {'trace_file': '', 'trace_level': '10'})
        self.assertIn('[ZTerm]\ntrace_level=10\ntrace_file=\n', out)
        self.assertIn('[Other]\ntrace_file=keep\n', out)
        self.assertIn('; refresh_delay=5\nrefresh_delay=10\n', out)
        self.assertTrue(out.startswith('; comment trace_file=x\n'))

    def test_adds_missing_key_at_the_end_of_its_section(self):
        out = r.set_ini_values(self.SOURCE, 'ZTerm', {'scrollback_burst': '0'})
        self.assertIn('refresh_delay=10\nscrollback_burst=0\n[Other]', out)

    def test_adds_missing_section(self):
        out = r.set_ini_values('[A]\nx=1\n', 'ZTerm', {'k': 'v'})
        self.assertEqual(out, '[A]\nx=1\n[ZTerm]\nk=v\n')

    def test_shipped_file_keeps_its_keys(self):
        with open(os.path.join(r.REPO, 'config', 'zav.ini')) as f:
            shipped = f.read()
        out = r.set_ini_values(shipped, 'ZTerm', {'trace_file': '', 'scrollback_burst': '0'})
        self.assertIn('\ntrace_file=\n', out)
        self.assertEqual(out.count('scrollback_burst='), 1)
        self.assertIn('pass_message="\\nPassword: "', out)


class ProcNetTcp(unittest.TestCase):
    def test_ports_and_inodes(self):
        text = ('  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt'
                '   uid  timeout inode\n'
                '   0: 0100007F:AD99 00000000:0000 0A 00000000:00000000 00:00000000 00000000'
                '     0        0 123456 1 0000000000000000 100 0 0 10 0\n'
                '   1: 0100007F:AD99 0100007F:DF80 01 00000000:00000000 02:000A7B00 00000000'
                '     0        0 654321 2 0000000000000000 20 4 30 10 -1\n'
                '   2: short line\n')
        self.assertEqual(r.parse_proc_net_tcp(text),
                         [(0xAD99, 0, 123456), (0xAD99, 0xDF80, 654321)])


class Usage(unittest.TestCase):
    def test_precise_run_time_and_new_threads(self):
        before = {(1, 1): (1_000_000_000, 10), (1, 'process'): (100, 0)}
        after = {(1, 1): (1_050_000_000, 30), (1, 2): (50_000_000, 5),
                 (1, 'process'): (110, 0)}
        cpu, wakeups, source = r.usage(before, after, 10.0)
        self.assertAlmostEqual(cpu, 1.0)
        self.assertAlmostEqual(wakeups, 2.5)
        self.assertEqual(source, 'schedstat')

    def test_falls_back_to_ticks(self):
        before = {(1, 1): (None, 0), (1, 'process'): (100, 0)}
        after = {(1, 1): (None, 0), (1, 'process'): (100 + os.sysconf('SC_CLK_TCK'), 0)}
        cpu, _, source = r.usage(before, after, 10.0)
        self.assertAlmostEqual(cpu, 10.0)
        self.assertEqual(source, 'utime+stime')

    def test_nothing_readable_is_an_error(self):
        with self.assertRaises(r.BenchError):
            r.usage({(1, 'process'): (5, 0)}, {(1, 'process'): (5, 0)}, 10.0)

    def test_sample_of_self(self):
        sample = r.sample([os.getpid()])
        self.assertIn((os.getpid(), os.getpid()), sample)
        self.assertIn((os.getpid(), 'process'), sample)


class FakeChild:
    """Stands in for a pexpect child: hands out prepared chunks."""

    def __init__(self, chunks):
        self.chunks = list(chunks)
        self.buffer = b''

    def read_nonblocking(self, size, timeout):
        del size, timeout
        if not self.chunks:
            raise pexpect.EOF('end')
        chunk = self.chunks.pop(0)
        if chunk is None:
            raise pexpect.TIMEOUT('nothing')
        return chunk


class FakeServer:
    name = 'fake'


def client(chunks):
    c = r.Client.__new__(r.Client)
    c.p = FakeChild(chunks)
    c.server = FakeServer()
    c.pending = b''
    c.last_prompt = 0
    return c


class Reading(unittest.TestCase):
    def test_prompt_split_over_reads_and_bytes_counted(self):
        c = client([b'output\r\nz', None, b'b1', b'% rest'])
        self.assertEqual(c.wait_prompt(5), len(b'output\r\nzb1% rest'))
        self.assertEqual(c.last_prompt, 1)
        self.assertEqual(c.pending, b' rest')

    def test_repainted_old_prompt_is_skipped(self):
        c = client([b'zb4% seq\r\n1\r\n', b'zb4% again zb5%'])
        c.last_prompt = 4
        c.wait_prompt(5)
        self.assertEqual(c.last_prompt, 5)

    def test_leftover_is_searched_first(self):
        c = client([])
        c.pending = b'xx CATGO42 yy'
        self.assertEqual(c.expect_text(b'CATGO42'), 0)
        self.assertEqual(c.pending, b' yy')

    def test_pexpect_buffer_is_taken_over(self):
        c = client([])
        c.p.buffer = b'login: u\r\nPassword: '
        c.expect_text(b'Password:')
        self.assertEqual(c.p.buffer, b'')

    def test_echo_after_previous_match_only(self):
        # The window never reaches back before the last match: an old 'a' cannot answer.
        c = client([b'a', b'\x1b[5;9Hb'])
        c.expect_text(b'a')
        self.assertEqual(c.expect_text(b'b'), len(b'\x1b[5;9Hb'))

    def test_end_of_client_is_an_error(self):
        with self.assertRaises(r.BenchError):
            client([b'no prompt here']).wait_prompt(5)


class Report(unittest.TestCase):
    def bench(self, results, errors=None):
        b = r.Bench(r.parse_options([]))
        b.results = results
        b.errors = errors or {}
        return {row[0]: row for row in b.rows()}

    def test_verdicts_against_sshd(self):
        rows = self.bench({('echo', 'zav'): {'median': 0.0012, 'p95': 0.0100},
                           ('echo', 'sshd'): {'median': 0.0003, 'p95': 0.0005}})
        self.assertEqual(rows['echo median (200 keys)'][1:],
                         ('1.20 ms', '0.30 ms', '<= sshd + 1 ms', 'PASS'))
        self.assertEqual(rows['echo 95th percentile'][4], 'FAIL')
        self.assertEqual(rows['password prompt (median of 5)'][1:3], ('not run', 'not run'))

    def test_errors_and_absolute_targets(self):
        rows = self.bench({('seq', 'zav'): {'time': 0.2, 'bytes': 8853},
                           ('burst0', 'zav'): {'time': 0.1, 'bytes': 4999},
                           ('scrollback', 'zav'): {
                               'cat 3000': {'lost': 0, 'doubled': 0, 'garbled': 0,
                                            'disorder': 0},
                               'paced 1000': {'lost': 3, 'doubled': 1, 'garbled': 0,
                                              'disorder': 0}}},
                          {('seq', 'sshd'): 'broken'})
        self.assertEqual(rows['seq 1 100000: time to prompt'][2:], ('error', '<= sshd + 0.15 s',
                                                                     '-'))
        self.assertEqual(rows['seq 1 100000: bytes received'][4], 'PASS')
        self.assertEqual(rows['  same, scrollback_burst=0'][4], 'PASS')
        self.assertEqual(rows['scroll-back: cat 3,000 lines'][4], 'PASS')
        self.assertEqual(rows['scroll-back: 20,000 at 1,000/s'][1:],
                         ('lost 3, doubled 1', 'not run', 'burst all, none doubled', 'FAIL'))
        self.assertEqual(rows['scroll-back: 20,000 at 10,000/s'][4], '-')

    def test_table_is_aligned(self):
        table = r.format_table([('a', '1', '22', 't', 'PASS'), ('bbb', '333', '4', 'tt', '-')])
        lines = table.split('\n')
        self.assertEqual(lines[0].split(' | ')[0], 'figure')
        self.assertEqual(len({line.index('|') for line in lines if '|' in line}), 1)


class Options(unittest.TestCase):
    def test_only_lists(self):
        options = r.parse_options(['--only', 'echo,seq', '--only', 'idle'])
        self.assertEqual(options.only, ['echo', 'seq', 'idle'])
        self.assertEqual(r.parse_options([]).only, list(r.ALL_MEASUREMENTS))
        self.assertEqual(r.parse_options([]).sessions, 200)

    def test_rejects_unknown_names(self):
        for argv in (['--only', 'nope'], ['--servers', 'telnet'], ['--sessions', '0']):
            with self.assertRaises(SystemExit), open(os.devnull, 'w') as null:
                saved, sys.stderr = sys.stderr, null
                try:
                    r.parse_options(argv)
                finally:
                    sys.stderr = saved


if __name__ == '__main__':
    unittest.main()
