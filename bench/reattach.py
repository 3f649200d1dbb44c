#!/usr/bin/python3
"""What detach and reattach cost, next to a fresh zav session and Debian's sshd.

One zavd (detach_timeout=3600, reattach=newest) and one sshd run side by side on loopback
ports of their own, driven by the real OpenSSH client in a pseudo-terminal, as
bench/responsiveness.py drives them (its helpers are used here):

  echo      keystroke echo into `cat` (median and 99th percentile over 3 x 200 keys) and
            the bytes the client receives for `seq 1 100000` (median of 3), through a
            fresh zav session, through a reattached one (its first client killed, the
            session taken over by a new log-on) and through sshd, in 3 rounds that take
            the three in turn
  restore   time from the start of the new client to the reattached session's screen
            (the mark echoed before the first client was killed, and its prompt), next
            to a fresh session's time from its client's start to its prompt; median of 5
            rounds each, taken in turns
  detached  --sessions (default 200) sessions detached at once (their clients killed),
            on a zavd of their own: the CPU of their processes (monitor and worker of
            each) over 20 s, and their memory (PSS from smaps_rollup) per session, next
            to the same sessions' memory while their clients were there

It logs on with accounts that exist already, named with their passwords in a file of
"name password" lines, as the test suite's tests/accounts.sh writes it: the first of
--users for the fresh sessions, sshd and the detached ones, the second for the sessions
that are detached and reattached (a log-on of an account with a detached session takes
it over). Each account's ~/.bashrc gets a numbered prompt for the run and is put back at
its end. Run as root:

    flock /tmp/zav-accounts.lock sh -c 'sh tests/accounts.sh create /tmp/acc.txt &&
        /usr/bin/python3 bench/reattach.py --accounts /tmp/acc.txt;
        sh tests/accounts.sh remove /tmp/acc.txt'

Options: --bin DIR (zavd and brisel; default build/; copied first), --accounts FILE,
--users A,B (default zavtest67,zavtest68), --sessions N, --only NAME[,NAME]. The table
`figure | fresh | reattached | sshd | target | ok` goes to standard output, progress to
standard error. Exit status: 0 all measurements taken (FAIL rows included), 1 some could
not be taken, 2 set-up failed, 130 interrupted. Everything it starts is stopped and its
directory /tmp/zavbench-* removed, also after an error or Ctrl-C.
"""

import argparse
import os
import pwd
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import responsiveness as r  # noqa: E402  pylint: disable=wrong-import-position

import pexpect  # noqa: E402  pylint: disable=wrong-import-position

ALL_MEASUREMENTS = ('echo', 'restore', 'detached')
ROUNDS = 5              # restore: rounds of each kind
ECHO_ROUNDS = 3         # echo: rounds of the three sessions in turn
COLUMNS = ('fresh', 'reattached', 'sshd')
DETACHED_WINDOW = 20.0  # detached: seconds of CPU measured
DETACH_SETTINGS = {'detach_timeout': '3600', 'reattach': 'newest'}
MARK = b'RESTORE42'     # echoed as RESTORE$((6*7)): only the output holds it whole


class ReattachBench(r.Bench):
    """responsiveness.py's bench with given accounts, a zavd that keeps sessions, and
    clients that end by `exit` (a client killed or hung up detaches its session)."""

    def __init__(self, options):
        super().__init__(options)
        self.accounts = {}      # name -> password
        self.bashrc = {}        # home/.bashrc -> its text before the run
        self.detach_zav = None
        self.figures = {}       # (measurement, column) -> dict of figures

    # ------------------------------------------------------------ set-up

    def use(self, name):
        """The account the next client logs on as."""
        self.user = name
        self.password = self.accounts[name]

    def set_up(self):
        self.tmp = tempfile.mkdtemp(prefix='zavbench-')
        os.chmod(self.tmp, 0o755)
        self.bin = os.path.join(self.tmp, 'bin')
        os.makedirs(self.bin)
        source = os.path.abspath(self.options.bin)
        for name in ('zavd', 'brisel'):
            path = os.path.join(source, name)
            if not os.access(path, os.X_OK):
                raise r.BenchError(f'no {name} in {source} (build first, or name the directory '
                                   f'with --bin)')
            shutil.copy2(path, self.bin)
        self.install_sshd()
        self.read_accounts()
        if not os.path.exists('/etc/pam.d/brisel'):
            shutil.copy(os.path.join(r.REPO, 'config', 'pam.d', 'brisel'), '/etc/pam.d/brisel')
            self.notes.append('installed /etc/pam.d/brisel (as scripts/setup.sh does; kept)')
        if not os.path.isdir('/run/sshd'):
            os.makedirs('/run/sshd', mode=0o755)
            self.run_sshd_made = True
        self.sshd = r.Sshd(self)
        self.all_servers.append(self.sshd)
        self.sshd.start(os.path.join(self.tmp, 'sshd'))
        self.zav = self.start_zav('zav', 20, DETACH_SETTINGS)
        r.log(f'sshd on 127.0.0.1:{self.sshd.port}, zavd on 127.0.0.1:{self.zav.port}')

    def start_zav(self, name, max_sessions, settings):
        zav = r.Zav(self)
        self.all_servers.append(zav)
        directory = os.path.join(self.tmp, name)
        # A control socket of its own: the default one may be another zavd's.
        zav.start(directory, settings, max_sessions,
                  ['--control', os.path.join(self.tmp, name + '-control', 'zavd.sock')])
        return zav

    def read_accounts(self):
        wanted = self.options.users
        try:
            with open(self.options.accounts) as f:
                for line in f:
                    fields = line.split()
                    if len(fields) == 2 and fields[0] in wanted:
                        self.accounts[fields[0]] = fields[1]
        except OSError as e:
            raise r.BenchError(f'cannot read {self.options.accounts}: {e}') from None
        for name in wanted:
            if name not in self.accounts:
                raise r.BenchError(f'{self.options.accounts} names no password for {name}')
            try:
                entry = pwd.getpwnam(name)
            except KeyError:
                raise r.BenchError(f'no account {name}') from None
            path = os.path.join(entry.pw_dir, '.bashrc')
            before = r.read(path)
            self.bashrc[path] = (before, os.path.exists(path), entry)
            with open(path, 'w') as f:
                f.write(before + "\nPS1='zb\\#% '\nunset PROMPT_COMMAND\nHISTFILE=\n")
            os.chown(path, entry.pw_uid, entry.pw_gid)

    # ------------------------------------------------------------ clean-up

    def clean_up(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        # A killed client leaves a detached session: the servers stop first, and their
        # sessions, which then end on their own (zavd gone), are waited for.
        sessions = []
        for server in self.all_servers:
            if server.proc is not None and server.proc.poll() is None:
                sessions += server.session_pids()
        steps = [
            ('clients', self.close_clients),
            ('servers', lambda: [s.stop() for s in self.all_servers]),
            ('sessions', lambda: self.wait_gone(sessions, 30)),
            ('account processes', self.end_account_processes),
            ('children', r.reap_children),
            ('.bashrc', self.restore_bashrc),
            ('files', lambda: self.tmp and shutil.rmtree(self.tmp, ignore_errors=True)),
        ]
        for name, step in steps:
            try:
                step()
            except Exception as e:  # pylint: disable=broad-except
                r.log(f'clean-up of {name}: {e}')
        if self.run_sshd_made:
            shutil.rmtree('/run/sshd', ignore_errors=True)
        for server in self.all_servers:
            if server.exit_code not in (0, None):
                self.notes.append(f'{server.name} ended with exit status {server.exit_code}')

    def wait_gone(self, pids, timeout):
        deadline = time.monotonic() + timeout
        while any(r.alive(p) for p in pids) and time.monotonic() < deadline:
            r.reap_children()
            time.sleep(0.05)
        left = [p for p in pids if r.alive(p)]
        if left:
            self.notes.append(f'sessions still running {timeout} s after zavd stopped: {left} '
                              f'(killed)')
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    def end_account_processes(self):
        for name in self.accounts:
            self.user = name
            self.end_user_processes()

    def restore_bashrc(self):
        for path, (text, existed, entry) in self.bashrc.items():
            if existed:
                with open(path, 'w') as f:
                    f.write(text)
                os.chown(path, entry.pw_uid, entry.pw_gid)
            elif os.path.exists(path):
                os.remove(path)

    # ------------------------------------------------------------ clients

    def logged_on(self, server, account):
        """A client of account on server at its shell prompt, and the seconds from the
        client's start to that prompt."""
        self.use(account)
        client = r.Client(self, server).login()
        return client, time.perf_counter() - client.started

    def end(self, client):
        """Ends a client's session by its shell's exit, so that nothing detaches."""
        if client.p is None:
            return
        client.send(b'exit\r')
        client.p.expect(pexpect.EOF, timeout=20)
        client.p.close(force=True)
        client.p = None
        self.clients.remove(client)

    def kill(self, client):
        """The client dies without a word (its connection is closed by the kernel)."""
        os.kill(client.p.pid, signal.SIGKILL)
        client.p.close(force=True)
        client.p = None
        self.clients.remove(client)

    def detached_count(self, zav):
        return len(re.findall(r'session \d+: detached \(', r.read(zav.output)))

    def wait_detached(self, zav, count, timeout=60):
        """Waits until zavd has logged count detaches in all."""
        deadline = time.monotonic() + timeout
        while self.detached_count(zav) < count:
            if time.monotonic() > deadline:
                tail = r.read(zav.output).splitlines()[-6:]
                raise r.BenchError(f'{self.detached_count(zav)} of {count} sessions detached '
                                   f'within {timeout} s; zavd\'s last lines: '
                                   + ' / '.join(tail))
            time.sleep(0.02)

    def reattached(self):
        """A session detached (its client killed) and a new client that has taken it over
        and shows its screen again; with the seconds from the new client's start."""
        fresh, _ = self.reattach_account_client()
        fresh.send(b'echo RESTORE$((6*7))\r')
        fresh.expect_text(MARK)
        fresh.wait_prompt()
        prompt = fresh.last_prompt
        detached = self.detached_count(self.zav)
        self.kill(fresh)
        self.wait_detached(self.zav, detached + 1)
        self.use(self.options.users[1])
        client = r.Client(self, self.zav)
        client.expect_text(self.zav.password_prompt, 60)
        client.send(self.password.encode() + b'\r')
        client.expect_text(MARK, 60)
        client.expect_text(b'zb%d%%' % prompt, 60)
        seconds = time.perf_counter() - client.started
        client.last_prompt = prompt
        return client, seconds

    def reattach_account_client(self):
        return self.logged_on(self.zav, self.options.users[1])

    # ------------------------------------------------------------ measurements

    @staticmethod
    def echo_on(client):
        """Seconds from each of 200 keys typed into `cat` to its echo."""
        client.send(b'echo CATGO$((6*7)); cat\r')
        client.expect_text(b'CATGO42')
        times = []
        for i in range(210):
            key = r.ECHO_KEYS[i % len(r.ECHO_KEYS):][:1]
            start = time.perf_counter()
            client.send(key)
            client.expect_text(key, 5)
            if i >= 10:  # the first keys warm up both ends
                times.append(time.perf_counter() - start)
        client.send(b'\r\x04')
        client.wait_prompt()
        return times

    @staticmethod
    def seq_on(client):
        """Bytes received for `seq 1 100000`, and the seconds to the next prompt."""
        client.send(b'seq 1 100000')
        client.expect_text(b'100000')
        start = time.perf_counter()
        client.send(b'\r')
        count = client.wait_prompt(120)
        return count, time.perf_counter() - start

    def measure_echo(self):
        """ECHO_ROUNDS rounds, each a fresh zav session, a reattached one and an sshd one in
        turn (so that the machine's other load falls on all three alike): 200 keys and one
        `seq` each."""
        keys = {c: [] for c in COLUMNS}
        seqs = {c: [] for c in COLUMNS}
        for round_number in range(ECHO_ROUNDS):
            r.log(f'echo: round {round_number + 1} of {ECHO_ROUNDS}')
            for column in COLUMNS:
                if column == 'fresh':
                    client, _ = self.logged_on(self.zav, self.options.users[0])
                elif column == 'reattached':
                    client, _ = self.reattached()
                else:
                    client, _ = self.logged_on(self.sshd, self.options.users[0])
                keys[column] += self.echo_on(client)
                seqs[column].append(self.seq_on(client))
                self.end(client)
        for column in COLUMNS:
            counts = [count for count, _ in seqs[column]]
            self.figures[('echo', column)] = {
                'median': statistics.median(keys[column]),
                'p99': r.percentile(keys[column], 0.99),
                'seq bytes': int(statistics.median(counts)), 'seq runs': counts,
                'seq time': statistics.median(t for _, t in seqs[column])}

    def measure_restore(self):
        fresh = []
        restored = []
        for _ in range(ROUNDS):
            client, seconds = self.logged_on(self.zav, self.options.users[0])
            fresh.append(seconds)
            self.end(client)
            client, seconds = self.reattached()
            restored.append(seconds)
            self.end(client)
        return ({'screen': statistics.median(fresh)}, {'screen': statistics.median(restored)})

    def measure_detached(self):
        count = self.options.sessions
        many = self.start_zav('zav-detached', count + 10,
                              dict(DETACH_SETTINGS, reattach='never'))
        self.use(self.options.users[0])
        clients = []
        for first in range(0, count, 20):
            batch = [r.Client(self, many) for _ in range(min(20, count - first))]
            for client in batch:
                client.expect_text(many.password_prompt, 120)
                client.send(self.password.encode() + b'\r')
            for client in batch:
                client.wait_prompt(120)
            clients += batch
            r.log(f'detached: {len(clients)} of {count} sessions logged on')
        pids = many.session_pids()
        attached_pss, _ = r.memory(pids)
        for client in clients:
            self.kill(client)
        self.wait_detached(many, count, 120)
        r.log(f'detached: {count} sessions detached; {DETACHED_WINDOW:.0f} s of CPU')
        pids = many.session_pids()
        before = r.sample(pids)
        time.sleep(DETACHED_WINDOW)  # the measurement window itself
        after = r.sample(pids)
        cpu, wakeups, source = r.usage(before, after, DETACHED_WINDOW)
        pss, _ = r.memory(pids)
        self.notes.append(f'detached: {len(pids)} processes measured, CPU from {source}, '
                          f'{wakeups:.1f} wake-ups a second together')
        return ({'pss': attached_pss / count},
                {'cpu': cpu, 'pss': pss / count})

    def run(self, name):
        r.log(f'{name}')
        try:
            if name == 'echo':
                self.measure_echo()
            elif name == 'restore':
                fresh, restored = self.measure_restore()
                self.figures[('restore', 'fresh')] = fresh
                self.figures[('restore', 'reattached')] = restored
            else:
                attached, detached = self.measure_detached()
                self.figures[('detached', 'fresh')] = attached
                self.figures[('detached', 'reattached')] = detached
        except (r.BenchError, pexpect.ExceptionPexpect, OSError,
                subprocess.SubprocessError) as e:
            self.errors[(name, '')] = str(e)
            r.log(f'{name} failed: {e}')
        finally:
            self.close_clients()

    # ------------------------------------------------------------ report

    def seq_runs(self):
        """A line per session kind with the bytes of each `seq` run."""
        lines = []
        for column in COLUMNS:
            runs = self.figures.get(('echo', column), {}).get('seq runs')
            if runs:
                lines.append(f'seq 1 100000 through {column}: '
                             + ', '.join(f'{n:,}' for n in runs) + ' bytes')
        return lines

    def table(self):
        rows = []

        def get(measurement, column, key):
            return self.figures.get((measurement, column), {}).get(key)

        def add(figure, measurement, key, fmt, target, check, columns=('fresh', 'reattached',
                                                                       'sshd')):
            values = {c: get(measurement, c, key) for c in ('fresh', 'reattached', 'sshd')}
            cells = [fmt(values[c]) if c in columns and values[c] is not None else
                     ('-' if c not in columns else 'not run') for c in
                     ('fresh', 'reattached', 'sshd')]
            try:
                ok = check(values['fresh'], values['reattached'])
            except TypeError:  # a figure is missing
                ok = None
            rows.append([figure] + cells + [target, r.verdict(ok)])

        def ms(v):
            return f'{v * 1000:.2f} ms'

        add(f'echo median ({ECHO_ROUNDS} x 200 keys)', 'echo', 'median', ms,
            'reattached <= fresh + 0.2 ms', lambda f, a: a <= f + 0.0002)
        add('echo 99th percentile', 'echo', 'p99', ms, '-', lambda f, a: None)
        # Past the burst's lines the screens sent depend on the pacing's moments, so two
        # runs of one session differ a little too: the same within 2 %.
        add('seq 1 100000: bytes received', 'echo', 'seq bytes', lambda v: f'{v:,}',
            'reattached = fresh (2 %)', lambda f, a: abs(a - f) <= 0.02 * f)
        add('seq 1 100000: time to prompt', 'echo', 'seq time', lambda v: f'{v:.3f} s', '-',
            lambda f, a: None)
        add(f'client start to prompt / restored screen (median of {ROUNDS})', 'restore',
            'screen', lambda v: f'{v:.3f} s', 'restored <= fresh + 0.3 s',
            lambda f, a: a <= f + 0.3, ('fresh', 'reattached'))
        count = self.options.sessions
        add(f'{count} sessions: memory (PSS) per session, attached / detached', 'detached',
            'pss', lambda v: f'{v:,.0f} KiB', '-', lambda f, a: None, ('fresh', 'reattached'))
        add(f'{count} detached sessions: CPU together ({DETACHED_WINDOW:.0f} s)', 'detached',
            'cpu', lambda v: f'{v:.3f} %', '< 1 % of a core', lambda f, a: a < 1.0,
            ('reattached',))
        header = ['figure', 'fresh', 'reattached', 'sshd', 'target', 'ok']
        table = [header] + rows
        widths = [max(len(row[i]) for row in table) for i in range(len(header))]
        lines = [' | '.join(c.ljust(w) for c, w in zip(row, widths)).rstrip() for row in table]
        lines.insert(1, '-+-'.join('-' * w for w in widths))
        return '\n'.join(lines)


def parse_options(argv):
    parser = argparse.ArgumentParser(
        description='detach and reattach: echo, output, restore time, detached sessions.')
    parser.add_argument('--bin', default=os.path.join(r.REPO, 'build'),
                        help="directory with zavd and brisel (default: the repository's build/)")
    parser.add_argument('--accounts', required=True,
                        help='file of "name password" lines (tests/accounts.sh create FILE)')
    parser.add_argument('--users', default='zavtest67,zavtest68',
                        help='two accounts of that file: fresh sessions, reattached ones')
    parser.add_argument('--sessions', type=int, default=200,
                        help='detached sessions for "detached" (default 200)')
    parser.add_argument('--only', action='append', default=[],
                        help='run only these (repeatable or comma-separated): '
                             + ', '.join(ALL_MEASUREMENTS))
    options = parser.parse_args(argv)
    only = [n.strip() for item in options.only for n in item.split(',') if n.strip()]
    unknown = [n for n in only if n not in ALL_MEASUREMENTS]
    if unknown:
        parser.error(f'unknown measurement {", ".join(unknown)}')
    options.only = only or list(ALL_MEASUREMENTS)
    options.users = [u.strip() for u in options.users.split(',') if u.strip()]
    if len(options.users) != 2 or options.users[0] == options.users[1]:
        parser.error('--users takes two different accounts')
    if not 1 <= options.sessions <= 1000:
        parser.error('--sessions takes 1 to 1000')
    return options


def main(argv):
    options = parse_options(argv)
    if os.geteuid() != 0:
        print('reattach.py must run as root: it logs on through PAM and runs sshd and zavd',
              file=sys.stderr)
        return 2
    main_pid = os.getpid()

    def interrupt(signum, _frame):
        if os.getpid() != main_pid:
            os._exit(1)  # a child between fork and exec: the parent cleans up
        raise r.Interrupted(signal.Signals(signum).name)

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupt)
    r.become_subreaper()
    bench = ReattachBench(options)
    status = 0
    try:
        bench.set_up()
        for name in options.only:
            bench.run(name)
        if bench.errors:
            status = 1
    except r.BenchError as e:
        r.log(f'set-up failed: {e}')
        status = 2
    except r.Interrupted as e:
        r.log(f'interrupted ({e}); cleaning up')
        status = 130
    finally:
        for server in bench.all_servers:
            if isinstance(server, r.Zav):
                for line in server.notable_lines()[:10]:
                    bench.notes.append(f'zavd: {line}')
        bench.clean_up()
    if bench.figures or bench.errors:
        print(bench.table())
        for line in bench.seq_runs():
            print(f'note: {line}')
        for (measurement, _), message in sorted(bench.errors.items()):
            print(f'error: {measurement}: {message}')
    for note in bench.notes:
        print(f'note: {note}')
    return status


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
