#!/usr/bin/python3
"""Responsiveness of zav next to OpenSSH's sshd, as a user at an SSH client feels it.

Both servers run side by side on loopback ports of their own and are driven by the real
OpenSSH client (`ssh`) in a pseudo-terminal (pexpect) or in a tmux pane:

  echo       keystroke echo: median and 95th percentile over 200 keys typed into `cat`
  prompt     time from starting the client to the password prompt (median of 5)
  paste      100 KiB of indented text pasted into `cat > file` in 1 KiB chunks, then
             Ctrl-D: time to the next prompt, and the file's sha256 against the original
  seq        `seq 1 100000`: time to the next prompt and bytes the client received
             (median of 3)
  idle       one logged-on idle session over 10 s: CPU (% of a core) and wake-ups per
             second (voluntary context switches summed over the threads) of the session's
             server-side processes (zav: its brisel; sshd: the connection's sshd processes)
  many       N idle sessions (--sessions, default 200) together: CPU % over 10 s
  scrollback the client in an 80x24 tmux pane (history-limit 50000): `cat` of 3,000
             numbered lines, then 20,000 numbered lines paced at 1,000 and 10,000 lines/s;
             the pane's whole history must hold every line once, in order
  burst0     `seq 1 100000` bytes with scrollback_burst=0 in zav.ini's [ZTerm]
  flood      a 10 s flood of changing lines (`timeout 10 seq 1 999999999`): bytes the client
             received per second, on a quiet machine and with two busy loops beside it

Run as root (it creates a temporary account and logs on with PAM), from anywhere:

    sudo /usr/bin/python3 bench/responsiveness.py [--bin DIR] [--only NAME[,NAME]]
                                                  [--sessions N] [--servers zav,sshd]

--bin names the directory holding `zavd` and `brisel` (default: the repository's build/);
both are copied to the temporary directory first, so a rebuild during the run does not
disturb it. The script installs openssh-server with apt-get when /usr/sbin/sshd is
missing (without letting the package start a system sshd), creates the account
`zavbenchN` and removes it at the end, runs a private sshd (own host key, own config) and
a private zavd (own work directory from config/), both on 127.0.0.1, and removes
everything it made when it ends, also on an error, Ctrl-C or SIGTERM. Progress goes to
standard error, the table `figure | zav | sshd | target | ok` to standard output. The
exit status is 0 when every measurement ran (FAIL rows included), 1 when one could not be
taken, 2 on a set-up problem, 130 when interrupted.

CPU figures come from the threads' run time in /proc/PID/task/*/schedstat (nanoseconds)
when the kernel provides it, from utime+stime in /proc/PID/stat (clock ticks, 10 ms
resolution: too coarse for the 0.05 % target over 10 s) otherwise.
"""

import argparse
import collections
import ctypes
import glob
import hashlib
import math
import os
import pwd
import random
import re
import secrets
import select
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import pexpect

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SSHD = '/usr/sbin/sshd'
POLICY_RC = '/usr/sbin/policy-rc.d'
PROMPT_RE = re.compile(rb'zb(\d+)%')  # PS1='zb\#% ': bash's command number makes it unique
ECHO_KEYS = b'abcgijknopqtvwxyz'  # no letter that ends an escape sequence zav may send
IDLE_WINDOW = 10.0
ALL_MEASUREMENTS = ('prompt', 'echo', 'paste', 'seq', 'burst0', 'idle', 'many', 'scrollback',
                    'flood', 'cpu', 'load', 'logons')
# The output whose delivery costs the server CPU ('cpu'): lines of `yes`, and a text file.
CPU_YES_LINES = 20_000_000
CPU_CAT_BYTES = 50 * 1024 * 1024
# Sessions running `yes` beside the one whose echo is measured ('load').
LOAD_SESSIONS = 20
# Log-ons made by clients in parallel ('logons').
LOGON_CLIENTS = 10
LOGON_ROUNDS = 3
# The flood's seconds, and the bytes a second it may cost the client once the scroll-back
# burst is spent: about a changed 80x24 screen per 10 ms refresh_delay.
FLOOD_SECONDS = 10
# The shipped scrollback_burst: the lines of one command's output that all reach the
# client's scroll-back.
SCROLLBACK_BURST = 10000
FLOOD_LIMIT = 150_000


class BenchError(Exception):
    """A measurement or a set-up step that failed; the message says which."""


class Interrupted(BaseException):
    """SIGINT, SIGTERM or SIGHUP arrived."""


def log(message):
    print(f'[{time.strftime("%H:%M:%S")}] {message}', file=sys.stderr, flush=True)


# ---------------------------------------------------------------- pure helpers (tested)

def percentile(values, fraction):
    """The nearest-rank percentile of values (fraction 0.95 for the 95th)."""
    ordered = sorted(values)
    if not ordered:
        raise ValueError('no values')
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[rank - 1]


def numbered_line(number):
    """Line number (without its line feed) of the scroll-back files: distinct rows."""
    letters = 'abcdefghijklmnopqrstuvwxyz' * 3
    return 'n=%06d %s' % (number, letters[number % 26:number % 26 + 40])


GENERATOR = '''import sys, time
n, rate = int(sys.argv[1]), float(sys.argv[2])
letters = 'abcdefghijklmnopqrstuvwxyz' * 3
step = max(1, int(rate // 100))
start = time.monotonic()
for i in range(1, n + 1):
    sys.stdout.write('n=%06d %s\\n' % (i, letters[i % 26:i % 26 + 40]))
    if i % step == 0:
        sys.stdout.flush()
        ahead = start + i / rate - time.monotonic()
        if ahead > 0:
            time.sleep(ahead)
sys.stdout.flush()
'''


def check_scrollback(text, count, kept=None):
    """Compares captured pane text with lines 1..count: lost, doubled, garbled, disorder.
    With kept (the scroll-back burst), only lines 1..kept count as lost; the missing ones
    after them are 'skipped', as a flood past the burst is sent as screens."""
    found = []
    garbled = 0
    for line in text.split('\n'):
        match = re.search(r'n=(\d{6}) ', line)
        if not match:
            continue
        number = int(match.group(1))
        if line[match.start():].rstrip() == numbered_line(number) and 1 <= number <= count:
            found.append(number)
        else:
            garbled += 1
    seen = collections.Counter(found)
    figures = {
        'lost': count - len(seen),
        'doubled': sum(n - 1 for n in seen.values()),
        'garbled': garbled,
        'disorder': sum(1 for a, b in zip(found, found[1:]) if b <= a),
    }
    if kept is not None:
        # The burst counts every line that scrolls after the command's key, and the lines
        # the screen held above the output (the log-on's, the command line) scroll first:
        # they take that many of the burst's lines from the output's end.
        lines = text.split('\n')
        above = next((i for i, line in enumerate(lines) if re.search(r'n=\d{6} ', line)), 0)
        kept = max(0, kept - above)
        figures['lost'] = sum(1 for n in range(1, min(kept, count) + 1) if n not in seen)
        figures['skipped'] = count - len(seen) - figures['lost']
    return figures


def indented_text(size, seed=1234):
    """size bytes of source-like text: lines with leading runs of blanks, ends in LF."""
    rnd = random.Random(seed)
    words = ['return', 'if', 'for', 'while', 'int', 'auto', 'const', 'std::string', 'value',
             'count', '(x)', '{', '}', '+', '=', '->', '0;', '//', 'node', 'else', 'x[i]']
    lines = []
    total = 0
    while True:
        indent = ' ' * (4 * rnd.randint(0, 7) + rnd.choice((0, 0, 0, 1, 2)))
        line = (indent + ' '.join(rnd.choice(words) for _ in range(rnd.randint(0, 12))))
        line = line[:118] + '\n'
        if total + len(line) > size - 1:
            break
        lines.append(line)
        total += len(line)
    lines.append('x' * (size - total - 1) + '\n')
    return ''.join(lines).encode()


def set_ini_values(text, section, values):
    """text of an INI file with the keys in values set in section (added when missing)."""
    lines = text.splitlines()
    out = []
    current = None
    done = set()
    wanted = {k.lower(): (k, v) for k, v in values.items()}

    def add_missing():
        for key_lower, (key, value) in wanted.items():
            if key_lower not in done:
                out.append(f'{key}={value}')
                done.add(key_lower)

    for line in lines:
        stripped = line.strip()
        if stripped.startswith('[') and stripped.endswith(']'):
            if current is not None and current.lower() == section.lower():
                add_missing()
            current = stripped[1:-1].strip()
            out.append(line)
            continue
        if current is not None and current.lower() == section.lower() and '=' in line \
                and not stripped.startswith(';'):
            key = line.split('=', 1)[0].strip().lower()
            if key in wanted and key not in done:
                out.append(f'{wanted[key][0]}={wanted[key][1]}')
                done.add(key)
                continue
        out.append(line)
    if current is not None and current.lower() == section.lower():
        add_missing()
    elif len(done) < len(wanted):
        out.append(f'[{section}]')
        add_missing()
    return '\n'.join(out) + '\n'


def parse_proc_net_tcp(text):
    """(local port, remote port, inode) of each IPv4 socket in /proc/net/tcp text."""
    rows = []
    for line in text.splitlines()[1:]:
        fields = line.split()
        if len(fields) < 10:
            continue
        local_port = int(fields[1].split(':')[1], 16)
        remote_port = int(fields[2].split(':')[1], 16)
        rows.append((local_port, remote_port, int(fields[9])))
    return rows


def verdict(ok):
    return '-' if ok is None else ('PASS' if ok else 'FAIL')


def format_table(rows):
    """rows of (figure, zav, sshd, target, ok) strings as an aligned text table."""
    header = ('figure', 'zav', 'sshd', 'target', 'ok')
    table = [header] + [tuple(str(c) for c in r) for r in rows]
    widths = [max(len(r[i]) for r in table) for i in range(5)]
    lines = [' | '.join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in table]
    lines.insert(1, '-+-'.join('-' * w for w in widths))
    return '\n'.join(lines)


# ---------------------------------------------------------------- /proc helpers

def read(path):
    try:
        with open(path, 'rb') as f:
            return f.read().decode(errors='replace')
    except OSError:
        return ''


def process_table():
    """pid -> (ppid, comm) of every process."""
    table = {}
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            stat = read(f'/proc/{entry}/stat')
            close = stat.rfind(')')
            if close < 0:
                continue
            table[int(entry)] = (int(stat[close + 2:].split()[1]), stat[stat.find('(') + 1:close])
    return table


def descendants(pid, comm=None, table=None):
    table = table if table is not None else process_table()
    children = collections.defaultdict(list)
    for p, (ppid, _) in table.items():
        children[ppid].append(p)
    out = []
    stack = [pid]
    while stack:
        for child in children.get(stack.pop(), []):
            stack.append(child)
            if comm is None or table[child][1] == comm:
                out.append(child)
    return out


def alive(pid):
    stat = read(f'/proc/{pid}/stat')
    return bool(stat) and stat[stat.rfind(')') + 2:stat.rfind(')') + 3] != 'Z'


def socket_inodes(pid):
    inodes = set()
    try:
        for fd in os.listdir(f'/proc/{pid}/fd'):
            try:
                target = os.readlink(f'/proc/{pid}/fd/{fd}')
            except OSError:
                continue
            if target.startswith('socket:['):
                inodes.add(int(target[8:-1]))
    except OSError:
        pass
    return inodes


def sample(pids):
    """tid -> (run time in ns, ticks, voluntary switches) of every thread of pids."""
    out = {}
    for pid in pids:
        stat = read(f'/proc/{pid}/stat')
        ticks = 0
        if stat:
            fields = stat[stat.rfind(')') + 2:].split()
            ticks = int(fields[11]) + int(fields[12])
        for task in glob.glob(f'/proc/{pid}/task/*'):
            schedstat = read(task + '/schedstat').split()
            ns = int(schedstat[0]) if schedstat else None
            voluntary = 0
            for line in read(task + '/status').splitlines():
                if line.startswith('voluntary_ctxt_switches:'):
                    voluntary = int(line.split()[1])
            out[(pid, int(os.path.basename(task)))] = (ns, voluntary)
        out[(pid, 'process')] = (ticks, 0)
    return out


def memory(pids):
    """(PSS, USS) in KiB of pids together, from smaps_rollup."""
    pss = uss = 0
    for pid in pids:
        for line in read(f'/proc/{pid}/smaps_rollup').splitlines():
            fields = line.split()
            if fields and fields[0] == 'Pss:':
                pss += int(fields[1])
            elif fields and fields[0] in ('Private_Clean:', 'Private_Dirty:'):
                uss += int(fields[1])
    return pss, uss


def usage(before, after, seconds):
    """(CPU % of a core, wake-ups per second, source) between two samples."""
    if not any(key[1] != 'process' for key in after):
        raise BenchError('no thread of the measured processes could be read in /proc')
    ns_total = 0
    precise = True
    ticks = 0
    wakeups = 0
    for key, (value, voluntary) in after.items():
        old_value, old_voluntary = before.get(key, (0, 0))
        if key[1] == 'process':
            ticks += value - (old_value if key in before else 0)
            continue
        wakeups += voluntary - old_voluntary
        if value is None:
            precise = False
        else:
            ns_total += value - (old_value or 0)
    if precise:
        cpu = ns_total / 1e9 / seconds * 100
    else:
        cpu = ticks / os.sysconf('SC_CLK_TCK') / seconds * 100
    return cpu, wakeups / seconds, 'schedstat' if precise else 'utime+stime'


# ---------------------------------------------------------------- the bench

class Client:
    """The OpenSSH client in a pseudo-terminal, with a reader that counts bytes."""

    def __init__(self, bench, server, rows=24, columns=80):
        self.bench = bench
        self.server = server
        argv = bench.ssh_argv(server.port)
        env = dict(os.environ, TERM='xterm', LANG='C.UTF-8')
        env.pop('SSH_AUTH_SOCK', None)
        self.started = time.perf_counter()
        self.p = pexpect.spawn(argv[0], argv[1:], dimensions=(rows, columns), env=env,
                               maxread=65536)  # echo on: ssh passes the modes on
        self.p.delaybeforesend = None
        self.p.ptyproc.delayafterclose = 0.01
        self.p.ptyproc.delayafterterminate = 0.05
        bench.clients.append(self)
        self.pending = b''
        self.last_prompt = 0

    def send(self, data):
        self.p.send(data)

    def send_reading(self, data, timeout=60):
        """Sends data while reading what arrives meanwhile: a client that stops reading its
        output while it writes (a blocking write into a full pty) would deadlock with ssh,
        which then waits to write that output before it reads more input."""
        fd = self.p.child_fd
        view = memoryview(data)
        deadline = time.monotonic() + timeout
        os.set_blocking(fd, False)
        try:
            while view:
                if time.monotonic() > deadline:
                    raise BenchError(f'{self.server.name}: input not taken within {timeout} s')
                readable, writable, _ = select.select([fd], [fd], [], 1.0)
                if readable:
                    self.drain()
                if writable:
                    try:
                        view = view[os.write(fd, view[:4096]):]
                    except BlockingIOError:
                        pass
        finally:
            os.set_blocking(fd, True)

    def read_until(self, find, timeout, what):
        """Reads until find(window) gives the end of a match; returns bytes read."""
        deadline = time.monotonic() + timeout
        window = self.pending + self.p.buffer
        self.p.buffer = b''
        self.pending = b''
        received = 0
        while True:
            if window:
                end = find(window)
                if end >= 0:
                    self.pending = window[end:]
                    return received
                window = window[-256:]
            left = deadline - time.monotonic()
            if left <= 0:
                raise BenchError(f'{self.server.name}: no {what} within {timeout:.0f} s; '
                                 f'last bytes {window[-160:]!r}')
            try:
                data = self.p.read_nonblocking(65536, timeout=min(left, 1.0))
            except pexpect.TIMEOUT:
                data = b''
            except pexpect.EOF:
                raise BenchError(f'{self.server.name}: the client ended while waiting for '
                                 f'{what}; last bytes {window[-160:]!r}') from None
            received += len(data)
            window += data

    def expect_text(self, text, timeout=20):
        return self.read_until(lambda w: (w.find(text) + len(text)) if text in w else -1,
                               timeout, repr(text))

    def wait_prompt(self, timeout=30):
        """Waits for a shell prompt newer than the last one seen; returns bytes read."""
        def find(window):
            for match in PROMPT_RE.finditer(window):
                if int(match.group(1)) > self.last_prompt:
                    self.last_prompt = int(match.group(1))
                    return match.end()
            return -1
        return self.read_until(find, timeout, 'shell prompt')

    def drain(self):
        """Reads what has arrived without waiting; returns the byte count."""
        received = 0
        while True:
            try:
                data = self.p.read_nonblocking(65536, timeout=0)
            except (pexpect.TIMEOUT, pexpect.EOF):
                return received
            received += len(data)
            self.pending = (self.pending + data)[-256:]

    def login(self, timeout=60):
        self.expect_text(self.server.password_prompt, timeout)
        self.send(self.bench.password.encode() + b'\r')
        self.wait_prompt(timeout)
        return self

    def local_port(self):
        inodes = socket_inodes(self.p.pid)
        for local, remote, inode in parse_proc_net_tcp(read('/proc/net/tcp')):
            if inode in inodes and remote == self.server.port:
                return local
        raise BenchError(f'{self.server.name}: cannot find the client socket')

    def close(self, timeout=10):
        if self.p is None:
            return
        try:
            if self.p.isalive():
                try:
                    self.send(b'exit\r')
                    self.p.expect(pexpect.EOF, timeout=timeout)
                except (pexpect.ExceptionPexpect, OSError):
                    pass
            self.p.close(force=True)
        except (pexpect.ExceptionPexpect, OSError):
            pass
        self.p = None
        if self in self.bench.clients:
            self.bench.clients.remove(self)


class Server:
    """A running server: its master process, port, output file and session processes."""

    name = ''
    comm = ''
    password_prompt = b''

    def __init__(self, bench):
        self.bench = bench
        self.proc = None
        self.port = 0
        self.output = ''
        self.exit_code = None

    def session_pids(self):
        """Every per-connection server process (the master excluded)."""
        return descendants(self.proc.pid, self.comm)

    def pids_of(self, client):
        """The server-side processes of one client's connection."""
        port = client.local_port()
        inodes = {inode for local, remote, inode in parse_proc_net_tcp(read('/proc/net/tcp'))
                  if local == self.port and remote == port}
        table = process_table()
        for top in [p for p, (ppid, _) in table.items() if ppid == self.proc.pid]:
            group = [top] + descendants(top, self.comm, table)
            if any(socket_inodes(p) & inodes for p in group):
                return [p for p in group if table.get(p, (0, ''))[1] == self.comm]
        raise BenchError(f'{self.name}: no server process holds the connection')

    def wait_sessions_gone(self, timeout=30):
        deadline = time.monotonic() + timeout
        while self.session_pids():
            if time.monotonic() > deadline:
                return False
            time.sleep(0.05)
        return True

    def wait_output(self, pattern, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            text = read(self.output)
            match = re.search(pattern, text)
            if match:
                return match
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        raise BenchError(f'{self.name} did not start: {read(self.output)[-2000:]}')

    def stop(self, timeout=15):
        if self.proc is None or self.proc.poll() is not None:
            if self.proc is not None:
                self.exit_code = self.proc.returncode
            return
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.exit_code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
            self.exit_code = 'killed after SIGTERM went unheeded'


class Sshd(Server):
    name = 'sshd'
    comm = 'sshd'
    password_prompt = b'password:'

    def start(self, directory):
        os.makedirs(directory)
        key = os.path.join(directory, 'host_ed25519')
        run(['ssh-keygen', '-q', '-t', 'ed25519', '-N', '', '-f', key])
        self.port = free_port()
        config = os.path.join(directory, 'sshd_config')
        with open(config, 'w') as f:
            f.write(f'''ListenAddress 127.0.0.1
Port {self.port}
HostKey {key}
PidFile none
UsePAM yes
PasswordAuthentication yes
KbdInteractiveAuthentication yes
PubkeyAuthentication no
PermitRootLogin no
PrintMotd no
X11Forwarding no
AllowTcpForwarding no
MaxStartups 400:30:800
LoginGraceTime 60
''')
        checked = subprocess.run([SSHD, '-t', '-f', config], capture_output=True, text=True,
                                 timeout=30)
        if checked.returncode != 0:
            raise BenchError(f'sshd rejects its configuration: {checked.stderr.strip()}')
        self.output = os.path.join(directory, 'sshd.err')
        with open(self.output, 'w') as err:
            self.proc = subprocess.Popen([SSHD, '-D', '-e', '-f', config], stdin=subprocess.DEVNULL,
                                         stdout=err, stderr=err, start_new_session=True)
        self.wait_output(r'Server listening on 127\.0\.0\.1 port')
        return self


class Zav(Server):
    name = 'zav'
    comm = 'brisel'
    password_prompt = b'Password:'  # pass_message "\nPassword: "; a last blank may not be sent

    def start(self, directory, overrides=None, max_sessions=100, arguments=()):
        """arguments: more of zavd's options (bench/reattach.py gives --control)."""
        os.makedirs(directory)
        for name in ('zav_keys.ini', 'zav_telnet.ini'):
            shutil.copy(os.path.join(REPO, 'config', name), directory)
        with open(os.path.join(REPO, 'config', 'zav.ini')) as f:
            text = f.read()
        # A session ends with its client, as sshd's does: a detached one (the shipped
        # detach_timeout) would be offered to the next log-on and stay running.
        settings = {'trace_level': '10', 'trace_file': '', 'log_file': 'brisel_?pid.log',
                    'error_file': 'brisel_?pid.err', 'rsakey_file': 'zav_key',
                    'detach_timeout': '0'}
        settings.update(overrides or {})
        with open(os.path.join(directory, 'zav.ini'), 'w') as f:
            f.write(set_ini_values(text, 'ZTerm', settings))
        zavd = os.path.join(self.bench.bin, 'zavd')
        brisel = os.path.join(self.bench.bin, 'brisel')
        run([zavd, '--genkey', '--workdir', directory])
        self.output = os.path.join(directory, 'zavd.err')
        env = dict(os.environ, TMPDIR=directory)
        with open(self.output, 'w') as err:
            self.proc = subprocess.Popen(
                [zavd, '--listen', '127.0.0.1:0', '--workdir', directory, '--session', brisel,
                 '--max-sessions', str(max_sessions),
                 # Every client comes from 127.0.0.1, a batch at a time.
                 '--max-startups-per-address', str(max_sessions)] + list(arguments),
                stdin=subprocess.DEVNULL, stdout=err, stderr=err, env=env,
                start_new_session=True)
        self.port = int(self.wait_output(r'listening on 127\.0\.0\.1:(\d+)').group(1))
        return self

    def notable_lines(self):
        return [line for line in read(self.output).splitlines()
                if re.search(r'failed|killed by signal|refused|not served|exit code [1-9]', line)]


def run(argv, timeout=120, **kwargs):
    done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, **kwargs)
    if done.returncode != 0:
        raise BenchError(f'{" ".join(argv)} failed ({done.returncode}): '
                         f'{(done.stderr or done.stdout).strip()[-600:]}')
    return done.stdout


def retry(argv, **kwargs):
    """run(), tried again for up to 10 s: other programs (test suites creating accounts)
    may hold the lock on /etc/passwd for a moment."""
    deadline = time.monotonic() + 10
    while True:
        try:
            return run(argv, **kwargs)
        except BenchError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.2)


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


class Tmux:
    """A private tmux server (its socket in the temporary directory), one 80x24 pane."""

    def __init__(self, bench):
        self.bench = bench
        self.socket = os.path.join(bench.tmp, 'tmux.sock')
        self.conf = os.path.join(bench.tmp, 'tmux.conf')
        with open(self.conf, 'w') as f:
            f.write('set -g history-limit 50000\nset -g remain-on-exit on\n'
                    'set -s exit-empty off\n'
                    'set -g default-terminal screen\n')
        self.count = 0

    def command(self, *args, timeout=30):
        argv = ['tmux', '-S', self.socket, '-f', self.conf] + list(args)
        done = subprocess.run(argv, capture_output=True, timeout=timeout,
                              env=dict(os.environ, TERM='xterm'))
        if done.returncode != 0:
            raise BenchError(f'tmux {args[0]}: {done.stderr.decode(errors="replace").strip()}')
        return done.stdout.decode(errors='replace')

    def new_pane(self, shell_command):
        self.count += 1
        name = f'zb{self.count}'
        self.command('new-session', '-d', '-s', name, '-x', '80', '-y', '24', shell_command)
        return name

    def wait_for(self, pane, test, timeout, what):
        deadline = time.monotonic() + timeout
        while True:
            text = self.command('capture-pane', '-p', '-t', pane)
            found = test(text)
            if found:
                return found
            if time.monotonic() > deadline:
                raise BenchError(f'no {what} in the pane within {timeout:.0f} s; it shows:\n'
                                 + text.rstrip()[-800:])
            time.sleep(0.05)

    def history(self, pane):
        return self.command('capture-pane', '-p', '-J', '-S', '-', '-E', '-', '-t', pane)

    def kill_server(self):
        if os.path.exists(self.socket):
            subprocess.run(['tmux', '-S', self.socket, 'kill-server'], capture_output=True,
                           timeout=30)


class Bench:
    def __init__(self, options):
        self.options = options
        self.bin = None
        self.tmp = None
        self.user = None
        self.home = None
        self.password = 'Zb-' + secrets.token_hex(8)
        self.clients = []
        self.servers = []      # the servers compared
        self.all_servers = []  # those and the extra zavd instances, for the clean-up
        self.tmux = None
        self.policy_written = False
        self.run_sshd_made = False
        self.left_over = []    # session processes that outlived their clients
        self.results = {}   # (measurement, server) -> dict of figures
        self.errors = {}    # (measurement, server) -> message
        self.notes = []

    # ------------------------------------------------------------ set-up

    def ssh_argv(self, port):
        return ['ssh', '-F', '/dev/null', '-p', str(port),
                '-o', 'StrictHostKeyChecking=no', '-o', 'UserKnownHostsFile=/dev/null',
                '-o', 'LogLevel=ERROR', '-o', 'PubkeyAuthentication=no',
                '-o', 'PreferredAuthentications=password,keyboard-interactive',
                '-o', 'GSSAPIAuthentication=no', '-o', 'ServerAliveInterval=0',
                '-o', 'ConnectTimeout=20', f'{self.user}@127.0.0.1']

    def set_up(self):
        self.tmp = tempfile.mkdtemp(prefix='zavbench-')
        os.chmod(self.tmp, 0o755)
        source = os.path.abspath(self.options.bin)
        self.bin = os.path.join(self.tmp, 'bin')
        os.makedirs(self.bin)
        for name in ('zavd', 'brisel'):
            path = os.path.join(source, name)
            if not os.access(path, os.X_OK):
                found = glob.glob(os.path.join(source, '**', name), recursive=True)
                path = next((p for p in found if os.access(p, os.X_OK)), path)
            if 'zav' in self.options.servers and not os.access(path, os.X_OK):
                raise BenchError(f'no {name} in {source} (build first, or name the directory '
                                 f'with --bin)')
            if os.access(path, os.X_OK):
                shutil.copy2(path, self.bin)
        if 'sshd' in self.options.servers:
            self.install_sshd()
        self.create_account()
        if not os.path.exists('/etc/pam.d/brisel'):
            shutil.copy(os.path.join(REPO, 'config', 'pam.d', 'brisel'), '/etc/pam.d/brisel')
            self.notes.append('installed /etc/pam.d/brisel (as scripts/setup.sh does; kept)')
        if 'sshd' in self.options.servers:
            if not os.path.isdir('/run/sshd'):
                os.makedirs('/run/sshd', mode=0o755)
                self.run_sshd_made = True
            log('starting a private sshd')
            self.sshd = Sshd(self)
            self.servers.append(self.sshd)
            self.all_servers.append(self.sshd)
            self.sshd.start(os.path.join(self.tmp, 'sshd'))
            log(f'sshd listens on 127.0.0.1:{self.sshd.port}')
        if 'zav' in self.options.servers:
            log('starting zavd')
            self.zav = Zav(self)
            self.servers.append(self.zav)
            self.all_servers.append(self.zav)
            self.zav.start(os.path.join(self.tmp, 'zav'))
            log(f'zavd listens on 127.0.0.1:{self.zav.port}')

    def install_sshd(self):
        if os.access(SSHD, os.X_OK):
            return
        log('installing openssh-server (no service is started)')
        before = {p for p, (_, comm) in process_table().items() if comm == 'sshd'}
        if not os.path.exists(POLICY_RC):
            with open(POLICY_RC, 'w') as f:
                f.write('#!/bin/sh\n# written by bench/responsiveness.py for one install\nexit 101\n')
            os.chmod(POLICY_RC, 0o755)
            self.policy_written = True
        env = dict(os.environ, DEBIAN_FRONTEND='noninteractive')
        argv = ['apt-get', 'install', '-y', '--no-install-recommends', 'openssh-server']
        try:
            done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=900)
            if done.returncode != 0:
                subprocess.run(['apt-get', 'update'], capture_output=True, env=env, timeout=900)
                done = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=900)
            if done.returncode != 0:
                raise BenchError('apt-get install openssh-server failed: '
                                 + done.stderr.strip()[-800:])
        finally:
            if self.policy_written:
                os.remove(POLICY_RC)
                self.policy_written = False
        started = {p for p, (_, comm) in process_table().items() if comm == 'sshd'} - before
        for pid in started:
            log(f'stopping the system sshd the install started (pid {pid})')
            try:
                os.kill(pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        if not os.access(SSHD, os.X_OK):
            raise BenchError(f'{SSHD} is still missing after installing openssh-server')

    def create_account(self):
        for i in range(1, 10):
            name = f'zavbench{i}'
            try:
                pwd.getpwnam(name)
                log(f'account {name} exists already (left by an earlier run?); trying the next')
            except KeyError:
                break
        else:
            raise BenchError('accounts zavbench1 to zavbench9 all exist; remove them')
        self.user = name  # set first: a half-made account is removed too
        retry(['useradd', '-m', '-s', '/bin/bash', name])
        retry(['chpasswd'], input=f'{name}:{self.password}\n')
        entry = pwd.getpwnam(name)
        self.home = entry.pw_dir
        files = {
            '.bashrc': read(os.path.join(self.home, '.bashrc'))
            + "\nPS1='zb\\#% '\nunset PROMPT_COMMAND\nHISTFILE=\n",
            'gen.py': GENERATOR,
            'lines3000.txt': ''.join(numbered_line(i) + '\n' for i in range(1, 3001)),
        }
        for file_name, content in files.items():
            path = os.path.join(self.home, file_name)
            with open(path, 'w') as f:
                f.write(content)
            os.chown(path, entry.pw_uid, entry.pw_gid)
        log(f'created the account {name}')

    # ------------------------------------------------------------ clean-up

    def user_pids(self):
        try:
            uid = pwd.getpwnam(self.user).pw_uid if self.user else None
        except KeyError:
            uid = None
        if uid is None:
            return []
        pids = []
        for entry in os.listdir('/proc'):
            if entry.isdigit():
                for line in read(f'/proc/{entry}/status').splitlines():
                    if line.startswith('Uid:'):
                        if int(line.split()[1]) == uid and alive(int(entry)):
                            pids.append(int(entry))
                        break
        return pids

    def clean_up(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)
        steps = [
            ('clients', self.close_clients),
            ('tmux', lambda: self.tmux and self.tmux.kill_server()),
            ('sessions', self.wait_all_sessions_gone),
            ('servers', lambda: [s.stop() for s in self.all_servers]),
            ('sessions left over', self.end_left_over_sessions),
            ('account processes', self.end_user_processes),
            ('children', reap_children),
            ('account', self.remove_account),
            ('files', lambda: self.tmp and shutil.rmtree(self.tmp, ignore_errors=True)),
        ]
        for name, step in steps:
            try:
                step()
            except Exception as e:  # pylint: disable=broad-except
                log(f'clean-up of {name}: {e}')
        if self.policy_written and os.path.exists(POLICY_RC):
            os.remove(POLICY_RC)
        if self.run_sshd_made:
            shutil.rmtree('/run/sshd', ignore_errors=True)
        for server in self.all_servers:
            if server.exit_code not in (0, None):
                self.notes.append(f'{server.name} ended with exit status {server.exit_code}')

    def wait_all_sessions_gone(self):
        for server in self.all_servers:
            if server.proc is not None and server.proc.poll() is None:
                if not server.wait_sessions_gone(20):
                    pids = server.session_pids()
                    self.left_over += pids
                    self.notes.append(f'{server.name}: sessions still running 20 s after their '
                                      f'clients ended: {pids}')

    def end_left_over_sessions(self):
        """Session processes that outlived their clients and their server: they are our
        children now (we are a subreaper); a few seconds to end, then SIGKILL."""
        deadline = time.monotonic() + 10
        while any(alive(p) for p in self.left_over) and time.monotonic() < deadline:
            reap_children()
            time.sleep(0.05)
        for pid in [p for p in self.left_over if alive(p)]:
            self.notes.append(f'session process {pid} did not end after its server stopped '
                              f'(killed)')
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 5
        while any(alive(p) for p in self.left_over) and time.monotonic() < deadline:
            reap_children()
            time.sleep(0.05)

    def end_user_processes(self):
        for sig, wait in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
            pids = self.user_pids()
            if not pids:
                return
            if sig == signal.SIGKILL:
                self.notes.append(f'processes of {self.user} left after the servers stopped: '
                                  f'{pids} (killed)')
            for pid in pids:
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
            deadline = time.monotonic() + wait
            while self.user_pids() and time.monotonic() < deadline:
                reap_children()
                time.sleep(0.05)

    def remove_account(self):
        if not self.user:
            return
        try:
            pwd.getpwnam(self.user)
        except KeyError:
            self.user = None
            return
        for _ in range(50):
            done = subprocess.run(['userdel', '-r', self.user], capture_output=True, text=True,
                                  timeout=30)
            # 12: the home could not be removed fully; the account is gone anyway.
            if done.returncode in (0, 12):
                log(f'removed the account {self.user}')
                self.user = None
                return
            time.sleep(0.1)
        raise BenchError(f'userdel -r {self.user}: {done.stderr.strip()}')

    # ------------------------------------------------------------ measurements

    def record(self, measurement, server, figures):
        self.results[(measurement, server.name)] = figures

    def each_server(self, measurement, function, servers):
        for server in servers:
            log(f'{measurement}: {server.name}')
            try:
                self.record(measurement, server, function(server))
            except (BenchError, pexpect.ExceptionPexpect, OSError, subprocess.SubprocessError) \
                    as e:
                self.errors[(measurement, server.name)] = str(e)
                log(f'{measurement}: {server.name} failed: {e}')
            finally:
                self.close_clients()

    def close_clients(self):
        """Ends every client: a hang-up to all first, so they end together."""
        for client in self.clients:
            if client.p is not None and client.p.isalive():
                try:
                    os.kill(client.p.pid, signal.SIGHUP)
                except ProcessLookupError:
                    pass
        for client in list(self.clients):
            try:
                client.p.close(force=True)
            except (pexpect.ExceptionPexpect, OSError):
                pass
            client.p = None
        self.clients.clear()

    def measure_prompt(self, server):
        times = []
        for _ in range(5):
            client = Client(self, server)
            client.expect_text(server.password_prompt, 30)
            times.append(time.perf_counter() - client.started)
            client.p.close(force=True)
            client.p = None
            self.clients.remove(client)
        return {'prompt': statistics.median(times)}

    def measure_echo(self, server, reading=()):
        """reading: other clients whose output is drained between keys (a client that
        stops reading stalls its session)."""
        client = Client(self, server).login()
        client.send(b'echo CATGO$((6*7)); cat\r')
        client.expect_text(b'CATGO42')
        times = []
        for i in range(210):
            for other in reading:
                other.drain()
            key = ECHO_KEYS[i % len(ECHO_KEYS):][:1]
            start = time.perf_counter()
            client.send(key)
            client.expect_text(key, 5)
            if i >= 10:  # the first keys warm up both ends
                times.append(time.perf_counter() - start)
        client.send(b'\r\x04')
        client.wait_prompt()
        return {'median': statistics.median(times), 'p95': percentile(times, 0.95),
                'p99': percentile(times, 0.99)}

    def measure_paste(self, server):
        text = indented_text(100 * 1024)
        target = os.path.join(self.home, 'paste.txt')
        if os.path.exists(target):
            os.remove(target)
        client = Client(self, server).login()
        # The mark shows that bash has given the terminal back (line editing, ICRNL, echo):
        # what arrives while readline still holds it would keep its CRs and miss its echo.
        client.send(b'echo PASTEGO$((6*7)); cat > paste.txt\r')
        client.expect_text(b'PASTEGO42')
        typed = text.replace(b'\n', b'\r')  # a terminal pastes line ends as CR
        start = time.perf_counter()
        for at in range(0, len(typed), 1024):
            client.send_reading(typed[at:at + 1024])
            client.drain()
        client.send(b'\x04')
        try:
            client.wait_prompt(120)
        except BenchError as e:
            size = os.path.getsize(target) if os.path.exists(target) else 0
            raise BenchError(f'{e}; {size} of {len(text)} bytes had reached the file') from None
        elapsed = time.perf_counter() - start
        try:
            with open(target, 'rb') as f:
                got = f.read()
        except OSError:
            got = b''
        intact = hashlib.sha256(got).digest() == hashlib.sha256(text).digest()
        if os.path.exists(target):
            os.remove(target)
        if not intact:
            at = next((i for i, (a, b) in enumerate(zip(got, text)) if a != b),
                      min(len(got), len(text)))
            self.notes.append(f'paste on {server.name}: the file holds {len(got)} of '
                              f'{len(text)} bytes, the first difference at byte {at}: '
                              f'{got[max(0, at - 20):at + 20]!r} instead of '
                              f'{text[max(0, at - 20):at + 20]!r}')
        return {'time': elapsed, 'intact': intact, 'size': len(got)}

    def measure_seq(self, server, runs=3):
        client = Client(self, server).login()
        times = []
        counts = []
        for _ in range(runs):
            client.send(b'seq 1 100000')
            client.expect_text(b'100000')
            start = time.perf_counter()
            client.send(b'\r')
            counts.append(client.wait_prompt(120))
            times.append(time.perf_counter() - start)
        return {'time': statistics.median(times), 'bytes': int(statistics.median(counts))}

    def measure_burst0(self, server):
        if server.name != 'zav':
            return {}
        extra = Zav(self)
        self.all_servers.append(extra)
        try:
            extra.start(os.path.join(self.tmp, 'zav-burst0'), {'scrollback_burst': '0'})
            return self.measure_seq(extra)
        finally:
            self.close_clients()
            extra.wait_sessions_gone(20)
            extra.stop()

    def measure_flood(self, server):
        figures = {}
        for busy in (False, True):
            client = Client(self, server).login()
            hogs = []
            if busy:
                hogs = [subprocess.Popen(['sh', '-c', 'while :; do :; done'])
                        for _ in range(2)]
            try:
                client.send(f'timeout {FLOOD_SECONDS} seq 1 999999999'.encode() + b'\r')
                received = client.wait_prompt(FLOOD_SECONDS + 60)
            finally:
                for hog in hogs:
                    hog.kill()
                    hog.wait()
            figures['busy' if busy else 'quiet'] = int(received / FLOOD_SECONDS)
        return figures

    def measure_idle(self, server):
        if not server.wait_sessions_gone(10):
            self.notes.append(f'idle on {server.name}: earlier sessions still ran during the '
                              f'measurement: {server.session_pids()}')
        client = Client(self, server).login()
        client.send(b'echo IDLE$((6*7))\r')
        client.expect_text(b'IDLE42')
        client.wait_prompt()
        pids = server.pids_of(client)
        before = sample(pids)
        time.sleep(IDLE_WINDOW)  # the measurement window itself
        after = sample(pids)
        cpu, wakeups, source = usage(before, after, IDLE_WINDOW)
        received = client.drain()
        return {'cpu': cpu, 'wakeups': wakeups, 'source': source, 'pids': len(pids),
                'threads': sum(1 for key in after if key[1] != 'process'),
                'received': received}

    def measure_many(self, server):
        count = self.options.sessions
        if server.name == 'zav':
            # zavd caps sessions (--max-sessions, default 100): one of its own for this.
            many = Zav(self)
            self.all_servers.append(many)
            many.start(os.path.join(self.tmp, 'zav-many'), max_sessions=count + 10)
        else:
            many = server
        try:
            if not many.wait_sessions_gone(10):
                self.notes.append(f'many on {server.name}: earlier sessions still ran and are '
                                  f'counted: {many.session_pids()}')
            clients = []
            for first in range(0, count, 20):
                batch = [Client(self, many) for _ in range(min(20, count - first))]
                for client in batch:
                    client.expect_text(many.password_prompt, 120)
                    client.send(self.password.encode() + b'\r')
                for client in batch:
                    client.wait_prompt(120)
                clients += batch
                log(f'many: {len(clients)} of {count} {server.name} sessions logged on')
            pids = many.session_pids()
            before = sample(pids)
            time.sleep(IDLE_WINDOW)  # the measurement window itself
            after = sample(pids)
            cpu, wakeups, source = usage(before, after, IDLE_WINDOW)
            pss, uss = memory(pids)
            return {'cpu': cpu, 'wakeups': wakeups, 'source': source, 'pids': len(pids),
                    'threads': sum(1 for key in after if key[1] != 'process'),
                    'pss': pss / count, 'uss': uss / count}
        finally:
            self.close_clients()
            if many is not server:
                many.wait_sessions_gone(60)
                many.stop()

    def measure_scrollback(self, server):
        if self.tmux is None:
            self.tmux = Tmux(self)
        # The paced runs are one command's output each: past its burst (the shipped
        # scrollback_burst, 10,000 lines) lines may be skipped for screens, never doubled.
        burst = SCROLLBACK_BURST if server.name == 'zav' else None
        cases = [('cat 3000', 3000, 'cat lines3000.txt', 120, None),
                 ('paced 1000', 20000, 'python3 gen.py 20000 1000', 20 + 120, burst),
                 ('paced 10000', 20000, 'python3 gen.py 20000 10000', 2 + 120, burst)]
        figures = {}
        for index, (label, count, command, timeout, kept) in enumerate(cases):
            argv = self.ssh_argv(server.port)
            pane = self.tmux.new_pane(' '.join(shlex.quote(a) for a in argv)
                                      + '; echo ssh-exit=$?')
            try:
                self.tmux.wait_for(pane, lambda t: self.password_prompt_in(server, t), 60,
                                   'password prompt')
                self.tmux.command('send-keys', '-t', pane, '-l', self.password)
                self.tmux.command('send-keys', '-t', pane, 'Enter')
                self.tmux.wait_for(pane, PROMPT_TEXT.search, 60, 'shell prompt')
                marker = f'E{1001 + index}X'
                self.tmux.command('send-keys', '-t', pane, '-l',
                                  f'{command}; echo E$((1000+{1 + index}))X')
                self.tmux.command('send-keys', '-t', pane, 'Enter')
                self.tmux.wait_for(pane, lambda t, m=marker: m in t, timeout, f'end mark {marker}')
                figures[label] = check_scrollback(self.tmux.history(pane), count, kept)
            finally:
                try:
                    self.tmux.command('kill-session', '-t', pane)
                except BenchError:
                    pass
        return figures

    @staticmethod
    def password_prompt_in(server, text):
        return server.password_prompt.decode() in text

    def server_cpu(self, client, command, timeout=600):
        """Seconds of CPU the server side of client's connection spends while command runs
        to its prompt (the programs the command starts are the user's, not counted)."""
        pids = client.server.pids_of(client)
        before = sample(pids)
        start = time.perf_counter()
        client.send(command + b'\r')
        client.wait_prompt(timeout)
        seconds = time.perf_counter() - start
        after = sample(pids)
        cpu, _, _ = usage(before, after, seconds)
        return cpu / 100 * seconds, seconds

    def measure_cpu(self, server):
        text = os.path.join(self.home, 'cpu.txt')
        if not os.path.exists(text):
            with open(text, 'w') as f:
                number = 0
                while f.tell() < CPU_CAT_BYTES:
                    number += 1
                    f.write(numbered_line(number) + '\n')
            os.chown(text, pwd.getpwnam(self.user).pw_uid, -1)
        client = Client(self, server).login()
        figures = {}
        for name, command in (('yes', f'yes | head -n {CPU_YES_LINES}'.encode()),
                              ('cat', b'cat cpu.txt')):
            runs = [self.server_cpu(client, command) for _ in range(3)]
            figures[name] = statistics.median(cpu for cpu, _ in runs)
            figures[name + ' time'] = statistics.median(t for _, t in runs)
        return figures

    def measure_load(self, server):
        """Keystroke echo while LOAD_SESSIONS other sessions run `yes`, and the server CPU
        of all sessions meanwhile."""
        busy = []
        for _ in range(LOAD_SESSIONS):
            busy.append(Client(self, server).login())
        for client in busy:
            client.send(b'yes\r')
        pids = server.session_pids()
        before = sample(pids)
        start = time.perf_counter()
        figures = self.measure_echo(server, reading=busy)
        seconds = time.perf_counter() - start
        cpu, _, _ = usage(before, sample(pids), seconds)
        figures['cpu'] = cpu / 100 * seconds
        figures['seconds'] = seconds
        for client in busy:
            client.send(b'\x03')
        return figures

    def measure_logons(self, server):
        """Log-ons a second with LOGON_CLIENTS clients at once, LOGON_ROUNDS times."""
        start = time.perf_counter()
        for _ in range(LOGON_ROUNDS):
            clients = [Client(self, server) for _ in range(LOGON_CLIENTS)]
            for client in clients:
                client.expect_text(server.password_prompt, 120)
                client.send(self.password.encode() + b'\r')
            for client in clients:
                client.wait_prompt(120)
            self.close_clients()
        return {'rate': LOGON_CLIENTS * LOGON_ROUNDS / (time.perf_counter() - start)}

    def measure(self, name):
        function = {
            'prompt': self.measure_prompt, 'echo': self.measure_echo,
            'paste': self.measure_paste, 'seq': self.measure_seq,
            'burst0': self.measure_burst0, 'idle': self.measure_idle,
            'many': self.measure_many, 'scrollback': self.measure_scrollback,
            'flood': self.measure_flood, 'cpu': self.measure_cpu, 'load': self.measure_load,
            'logons': self.measure_logons,
        }[name]
        servers = [s for s in self.servers if name != 'burst0' or s.name == 'zav']
        self.each_server(name, function, servers)

    # ------------------------------------------------------------ report

    def rows(self):
        rows = []

        def get(measurement, server, key):
            figures = self.results.get((measurement, server))
            if figures is None:
                error = self.errors.get((measurement, server))
                return None, ('error' if error else 'not run')
            value = figures
            for part in key.split('/'):
                value = value.get(part) if isinstance(value, dict) else None
            return value, None

        def cell(measurement, server, key, fmt):
            if measurement == 'burst0' and server == 'sshd':
                return 'n/a'
            value, missing = get(measurement, server, key)
            return fmt(value) if value is not None else missing

        def add(figure, measurement, key, fmt, target, check):
            zav, _ = get(measurement, 'zav', key)
            sshd, _ = get(measurement, 'sshd', key)
            try:
                ok = check(zav, sshd) if zav is not None else None
            except TypeError:
                ok = None
            rows.append((figure, cell(measurement, 'zav', key, fmt),
                         cell(measurement, 'sshd', key, fmt), target, verdict(ok)))

        def ms(v):
            return f'{v * 1000:.2f} ms'

        def sec(v):
            return f'{v:.3f} s'

        def num(v):
            return f'{v:,}'

        def pct(v):
            return f'{v:.3f} %'

        def per_s(v):
            return f'{v:.1f}/s'

        def kib(v):
            return f'{v:,.0f} KiB'

        def lines(v):
            text = f'lost {v["lost"]}, doubled {v["doubled"]}'
            if v['garbled'] or v['disorder']:
                text += f', garbled {v["garbled"]}, out of order {v["disorder"]}'
            if v.get('skipped'):
                text += f' ({v["skipped"]:,} past the burst as screens)'
            return text

        def complete(v):
            return not any(v[k] for k in ('lost', 'doubled', 'garbled', 'disorder'))

        add('echo median (200 keys)', 'echo', 'median', ms, '<= sshd + 1 ms',
            lambda z, s: z <= s + 0.001)
        add('echo 95th percentile', 'echo', 'p95', ms, '<= sshd + 3 ms',
            lambda z, s: z <= s + 0.003)
        add('password prompt (median of 5)', 'prompt', 'prompt', sec, '<= sshd + 0.2 s',
            lambda z, s: z <= s + 0.2)
        add('paste 100 KiB into cat > file', 'paste', 'time', sec, '<= 1 s, intact',
            lambda z, s: z <= 1.0 and self.results[('paste', 'zav')]['intact'])
        add('paste: file intact (sha256)', 'paste', 'intact', lambda v: 'yes' if v else 'NO',
            'yes', lambda z, s: z)
        add('seq 1 100000: time to prompt', 'seq', 'time', sec, '<= sshd + 0.15 s',
            lambda z, s: z <= s + 0.15)
        add('seq 1 100000: bytes received', 'seq', 'bytes', num, '< 100,000',
            lambda z, s: z < 100000)
        add('  same, scrollback_burst=0', 'burst0', 'bytes', num, '< 5,000',
            lambda z, s: z < 5000)
        add('scroll-back: cat 3,000 lines', 'scrollback', 'cat 3000', lines,
            'all, in order', lambda z, s: complete(z))
        add('scroll-back: 20,000 at 1,000/s', 'scrollback', 'paced 1000', lines,
            'burst all, none doubled', lambda z, s: complete(z))
        add('scroll-back: 20,000 at 10,000/s', 'scrollback', 'paced 10000', lines,
            'burst all, none doubled', lambda z, s: complete(z))
        add('flood: bytes a second', 'flood', 'quiet', num, f'< {FLOOD_LIMIT:,}',
            lambda z, s: z < FLOOD_LIMIT)
        add('  same, two busy loops beside', 'flood', 'busy', num, f'< {FLOOD_LIMIT:,}',
            lambda z, s: z < FLOOD_LIMIT)
        add('idle session: CPU (10 s)', 'idle', 'cpu', pct, '< 0.05 % of a core',
            lambda z, s: z < 0.05)
        add('idle session: wake-ups', 'idle', 'wakeups', per_s, '<= 1/s',
            lambda z, s: z <= 1.0)
        count = self.options.sessions
        add(f'{count} idle sessions: CPU together', 'many', 'cpu', pct, '< 2 % of a core',
            lambda z, s: z < 2.0)
        add(f'{count} idle sessions: wake-ups', 'many', 'wakeups', per_s, '-',
            lambda z, s: None)
        add(f'{count} idle sessions: PSS per session', 'many', 'pss', kib, '<= sshd',
            lambda z, s: z <= s)
        add(f'{count} idle sessions: USS per session', 'many', 'uss', kib, '-',
            lambda z, s: None)
        add(f'server CPU: yes | head -n {CPU_YES_LINES:,}', 'cpu', 'yes', sec, '<= sshd',
            lambda z, s: z <= s)
        add(f'server CPU: cat of {CPU_CAT_BYTES >> 20} MiB', 'cpu', 'cat', sec, '<= sshd',
            lambda z, s: z <= s)
        add('  time until the prompt: yes / cat', 'cpu', 'yes time', sec, '-',
            lambda z, s: None)
        add('', 'cpu', 'cat time', sec, '-', lambda z, s: None)
        add(f'echo median, {LOAD_SESSIONS} sessions running yes', 'load', 'median', ms,
            '<= 2 x sshd', lambda z, s: z <= 2 * s)
        add(f'echo 99th percentile, same', 'load', 'p99', ms, '-', lambda z, s: None)
        add('server CPU during it', 'load', 'cpu', sec, '-', lambda z, s: None)
        add(f'log-ons a second, {LOGON_CLIENTS} clients at once', 'logons', 'rate', per_s,
            '>= sshd', lambda z, s: z >= s)
        return rows


PROMPT_TEXT = re.compile(r'zb\d+%')


def reap_children():
    """Reaps any exited child, processes orphaned to us (we are a subreaper) included."""
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def become_subreaper():
    """Orphans of our children (the tmux server, sessions left by a stopped zavd) become
    ours, so they are reaped and none is left to a PID 1 that may not reap."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def parse_options(argv):
    parser = argparse.ArgumentParser(
        description='zav next to OpenSSH sshd: echo, prompt, paste, output, idle, scroll-back.')
    parser.add_argument('--bin', default=os.path.join(REPO, 'build'),
                        help='directory with zavd and brisel (default: the repository\'s build/)')
    parser.add_argument('--only', action='append', default=[],
                        help='run only these measurements (repeatable or comma-separated): '
                             + ', '.join(ALL_MEASUREMENTS))
    parser.add_argument('--sessions', type=int, default=200,
                        help='idle sessions for the "many" measurement (default 200)')
    parser.add_argument('--servers', default='zav,sshd',
                        help='which servers to measure (default zav,sshd)')
    options = parser.parse_args(argv)
    only = [n.strip() for item in options.only for n in item.split(',') if n.strip()]
    unknown = [n for n in only if n not in ALL_MEASUREMENTS]
    if unknown:
        parser.error(f'unknown measurement {", ".join(unknown)}; '
                     f'choose from {", ".join(ALL_MEASUREMENTS)}')
    options.only = only or list(ALL_MEASUREMENTS)
    options.servers = [s.strip() for s in options.servers.split(',') if s.strip()]
    if not options.servers or any(s not in ('zav', 'sshd') for s in options.servers):
        parser.error('--servers takes zav, sshd or both')
    if not 1 <= options.sessions <= 2000:
        parser.error('--sessions takes 1 to 2000')
    return options


def main(argv):
    options = parse_options(argv)
    if os.geteuid() != 0:
        print('responsiveness.py must run as root: it creates a temporary account, logs on '
              'through PAM and runs sshd and zavd. Try: sudo /usr/bin/python3 '
              'bench/responsiveness.py', file=sys.stderr)
        return 2
    for tool in ('ssh', 'ssh-keygen', 'tmux', 'useradd', 'userdel', 'chpasswd'):
        if shutil.which(tool) is None:
            print(f'responsiveness.py needs {tool}', file=sys.stderr)
            return 2

    main_pid = os.getpid()

    def interrupt(signum, _frame):
        if os.getpid() != main_pid:
            os._exit(1)  # a child between fork and exec: the parent cleans up
        raise Interrupted(signal.Signals(signum).name)

    def ignore_signals():
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, signal.SIG_IGN)

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupt)
    become_subreaper()
    bench = Bench(options)
    status = 0
    try:
        bench.set_up()
        for name in options.only:
            bench.measure(name)
        if bench.errors:
            status = 1
    except BenchError as e:
        log(f'set-up failed: {e}')
        status = 2
    except Interrupted as e:
        log(f'interrupted ({e}); cleaning up')
        status = 130
    finally:
        ignore_signals()  # a second Ctrl-C must not cut the clean-up short
        for server in bench.all_servers:
            if isinstance(server, Zav):
                for line in server.notable_lines()[:10]:
                    bench.notes.append(f'zavd: {line}')
        bench.clean_up()
    if bench.results or bench.errors:
        print(format_table(bench.rows()))
        for (measurement, server), message in sorted(bench.errors.items()):
            print(f'error: {measurement} on {server}: {message}')
        for key, figures in sorted(bench.results.items()):
            if key[0] in ('idle', 'many') and figures:
                print(f'note: {key[0]} on {key[1]}: {figures["pids"]} processes '
                      f'({figures["threads"]} threads) measured, '
                      f'CPU from {figures["source"]}'
                      + (f', {figures["received"]} bytes reached the idle client'
                         if 'received' in figures else ''))
    for note in bench.notes:
        print(f'note: {note}')
    return status


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
