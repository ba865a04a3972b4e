#!/usr/bin/python3
# Helpers of bench/sharing_load.sh (standard library only):
#
#   sharing_load.py folder <path> <count>
#       fills <path> with <count> small files (names of 14 to 30 characters, sizes 0 to 4 KiB)
#   sharing_load.py watch <pid> <stop file> [<renderer address>]
#       until <stop file> exists: samples the resident memory of <pid> and the processes below it
#       every 0.1 s and, given the address the program printed ("http://127.0.0.1:P/?t=TOKEN"),
#       clicks in the page: switches between the first two tabs through the front end's
#       WebSocket, as the page does, four times a second, timing each click until the program's
#       answer. Prints "rss_peak_mb <n>", "clicks <n>", "click_median_s <s>", "click_p90_s <s>",
#       "click_max_s <s>" (clicks that got no answer in time count with the time they waited).
#   sharing_load.py rss <pid>
#       prints the resident memory of <pid> and the processes below it, in MB
#   sharing_load.py ftp-lists <port> <path> <clients> <seconds>
#       <clients> FTP sessions at once, each listing <path> (PASV, LIST) again and again for
#       <seconds> once all have logged in; prints "lists <n>", "lists_per_s <r>", "bytes <n>", "errors <n>"
#       and "lines <n>" (the line count of the last listing)
#   sharing_load.py lockout <ftp|web> <port> <holders> <workers> <seconds>
#       <holders> connections from 127.0.0.2 that hold a place without ever logging in (FTP: a
#       byte every 5 s, no whole command; web: a request head that never ends, a byte every 5 s),
#       each opened again at once whenever it is closed or refused; beside them <workers> clients
#       from 127.0.0.3 that, for <seconds>, again and again connect and do one piece of work
#       (FTP: log in, PASV, LIST /, QUIT; web: GET /). Prints "served <n>", "failed <n>",
#       "served_per_s <r>", "median_s <s>", "p90_s <s>" (times of the served ones) and
#       "holders_open <n>" (the holders' connections not yet seen closed, a second before the end:
#       a refused one counts until its holder looks again)
import base64
import json
import os
import random
import socket
import struct
import sys
import threading
import time


def tree_rss_kb(pid):
    parents = {}
    for name in os.listdir('/proc'):
        if name.isdigit():
            try:
                text = open(f'/proc/{name}/stat').read()
            except OSError:
                continue
            parents[int(name)] = int(text[text.rindex(')') + 2:].split()[1])
    total, todo = 0, [pid]
    while todo:
        p = todo.pop()
        try:
            for line in open(f'/proc/{p}/status'):
                if line.startswith('VmRSS:'):
                    total += int(line.split()[1])
        except OSError:
            pass
        todo += [c for c, parent in parents.items() if parent == p]
    return total


def make_folder(path, count):
    os.makedirs(path, exist_ok=True)
    rnd = random.Random(7)
    kinds = ['txt', 'jpg', 'pdf', 'zip', 'mp3', 'html', 'bin']
    block = os.urandom(4096)
    for i in range(count):
        name = f'file-{i:06d}-{rnd.randrange(10**6):06d}.{kinds[i % len(kinds)]}'
        with open(os.path.join(path, name), 'wb') as f:
            f.write(block[:rnd.randrange(4097)])


class WebSocket:
    def __init__(self, address):
        rest = address.split('://', 1)[1]
        hostport, query = rest.split('/', 1)
        self.host, port = hostport.split(':')
        self.port = int(port)
        self.token = query.split('t=', 1)[1]
        self.sock = socket.create_connection((self.host, self.port), timeout=600)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f'GET /ws?t={self.token} HTTP/1.1\r\nHost: {hostport}\r\n'
                           f'Origin: http://{hostport}\r\nUpgrade: websocket\r\n'
                           f'Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n'
                           'Sec-WebSocket-Version: 13\r\n\r\n').encode())
        self.buffer = b''
        while b'\r\n\r\n' not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise OSError('the front end closed the WebSocket')
            self.buffer += chunk
        head, self.buffer = self.buffer.split(b'\r\n\r\n', 1)
        if b' 101 ' not in head.split(b'\r\n')[0]:
            raise OSError('the front end refused the WebSocket: ' + head.decode(errors='replace'))

    def send(self, text):
        payload = text.encode()
        mask = os.urandom(4)
        n = len(payload)
        head = bytes([0x81])
        if n < 126:
            head += bytes([0x80 | n])
        elif n < 65536:
            head += bytes([0x80 | 126]) + struct.pack('!H', n)
        else:
            head += bytes([0x80 | 127]) + struct.pack('!Q', n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.sendall(head + mask + masked)

    def _take(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(1 << 20)
            if not chunk:
                raise OSError('the front end closed the WebSocket')
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    # The next whole text message.
    def receive(self):
        message = b''
        while True:
            b0, b1 = self._take(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack('!H', self._take(2))[0]
            elif n == 127:
                n = struct.unpack('!Q', self._take(8))[0]
            payload = self._take(n)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                raise OSError('the front end closed the WebSocket')
            if opcode == 0x9:
                mask = os.urandom(4)
                self.sock.sendall(bytes([0x8A, 0x80 | len(payload)]) + mask +
                                  bytes(b ^ mask[i % 4] for i, b in enumerate(payload)))
                continue
            if opcode in (0x1, 0x0):
                message += payload
                if b0 & 0x80:
                    return message.decode()


def find_tab_bar(node):
    if isinstance(node, dict):
        if 'tabBar' in node and 'id' in node:
            return node
        values = node.values()
    elif isinstance(node, list):
        values = node
    else:
        return None
    for v in values:
        found = find_tab_bar(v)
        if found:
            return found
    return None


def watch(pid, stop_file, address):
    peak = 0
    clicks = []
    done = threading.Event()

    def clicker():
        ws = WebSocket(address)
        tabs = None
        while tabs is None:  # the program's first picture of its screens
            message = json.loads(ws.receive())
            tabs = find_tab_bar(message)
        seq = 0
        while not done.is_set():
            seq += 1
            began = time.monotonic()
            ws.send(json.dumps({'event': 'tapTab', 'id': tabs['id'], 'index': seq % 2,
                                'seq': seq}))
            ws.sock.settimeout(600)
            try:
                while True:
                    message = json.loads(ws.receive())
                    if message.get('type') == 'result' and message.get('seq') == seq:
                        break
            except (OSError, socket.timeout):
                clicks.append(time.monotonic() - began)
                return
            clicks.append(time.monotonic() - began)
            time.sleep(max(0.0, 0.25 - (time.monotonic() - began)))

    thread = None
    if address:
        thread = threading.Thread(target=clicker, daemon=True)
        thread.start()
    while not os.path.exists(stop_file):
        peak = max(peak, tree_rss_kb(pid))
        time.sleep(0.1)
    done.set()
    if thread:
        thread.join()
    print(f'rss_peak_mb {peak / 1024:.0f}')
    if address:
        clicks.sort()
        n = len(clicks)
        print(f'clicks {n}')
        if n:
            print(f'click_median_s {clicks[n // 2]:.3f}')
            print(f'click_p90_s {clicks[min(n - 1, n * 9 // 10)]:.3f}')
            print(f'click_max_s {clicks[-1]:.3f}')


def ftp_reply(f):
    line = f.readline()
    code = line[:3]
    if line[3:4] == b'-':
        while not (line[:3] == code and line[3:4] == b' '):
            line = f.readline()
            if not line:
                break
    return line


def ftp_lists(port, path, clients, seconds):
    # The time runs from the moment every session has logged in (a peer with a short listen
    # backlog takes a while to take two hundred connections).
    window = {}
    totals = {'lists': 0, 'bytes': 0, 'errors': 0, 'lines': 0}
    lock = threading.Lock()

    def begin():
        window['start'] = time.monotonic()
        window['stop'] = window['start'] + seconds
    start = threading.Barrier(clients, action=begin)

    def session():
        try:
            s = socket.create_connection(('127.0.0.1', port), timeout=120)
            f = s.makefile('rb')
            ftp_reply(f)
            s.sendall(b'USER anonymous\r\n')
            if ftp_reply(f).startswith(b'331'):
                s.sendall(b'PASS bench@\r\n')
                ftp_reply(f)
            start.wait(timeout=600)
            while time.monotonic() < window['stop']:
                s.sendall(b'PASV\r\n')
                r = ftp_reply(f)
                if not r.startswith(b'227'):
                    raise OSError(r.decode(errors='replace'))
                nums = r[r.index(b'(') + 1:r.index(b')')].split(b',')
                d = socket.create_connection(('127.0.0.1', int(nums[4]) * 256 + int(nums[5])),
                                             timeout=120)
                s.sendall(b'LIST ' + path.encode() + b'\r\n')
                if not ftp_reply(f).startswith(b'150'):
                    raise OSError('LIST refused')
                data = bytearray()
                while True:
                    chunk = d.recv(1 << 20)
                    if not chunk:
                        break
                    data += chunk
                d.close()
                if not ftp_reply(f).startswith(b'226'):
                    raise OSError('LIST did not complete')
                with lock:
                    totals['lists'] += 1
                    totals['bytes'] += len(data)
                    totals['lines'] = data.count(b'\n')
            s.sendall(b'QUIT\r\n')
            s.close()
        except Exception as e:  # counted, and the first few told
            with lock:
                totals['errors'] += 1
                if totals['errors'] <= 3:
                    print('ftp session failed:', repr(e), file=sys.stderr)

    threads = [threading.Thread(target=session) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - window.get('start', time.monotonic() - seconds)
    print(f"lists {totals['lists']}")
    print(f"lists_per_s {totals['lists'] / elapsed:.1f}")
    print(f"bytes {totals['bytes']}")
    print(f"errors {totals['errors']}")
    print(f"lines {totals['lines']}")


HOLDER_ADDRESS = '127.0.0.2'
WORKER_ADDRESS = '127.0.0.3'


def connect_from(source, port, timeout):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(('127.0.0.1', port))
    return s


def ftp_work(port):
    s = connect_from(WORKER_ADDRESS, port, 60)
    try:
        f = s.makefile('rb')
        if not ftp_reply(f).startswith(b'220'):
            return False
        s.sendall(b'USER anonymous\r\n')
        r = ftp_reply(f)
        if r.startswith(b'331'):
            s.sendall(b'PASS bench@\r\n')
            r = ftp_reply(f)
        if not r.startswith(b'230'):
            return False
        s.sendall(b'PASV\r\n')
        r = ftp_reply(f)
        if not r.startswith(b'227'):
            return False
        nums = r[r.index(b'(') + 1:r.index(b')')].split(b',')
        d = connect_from(WORKER_ADDRESS, int(nums[4]) * 256 + int(nums[5]), 60)
        s.sendall(b'LIST /\r\n')
        if not ftp_reply(f).startswith(b'150'):
            d.close()
            return False
        while d.recv(1 << 16):
            pass
        d.close()
        if not ftp_reply(f).startswith(b'226'):
            return False
        s.sendall(b'QUIT\r\n')
        return True
    finally:
        s.close()


def web_work(port):
    s = connect_from(WORKER_ADDRESS, port, 60)
    try:
        s.sendall(b'GET / HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n')
        data = bytearray()
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            data += chunk
        return data.startswith(b'HTTP/1.') and data[9:12] == b'200'
    finally:
        s.close()


def lockout(kind, port, holders, workers, seconds):
    stop = time.monotonic() + seconds
    lock = threading.Lock()
    times, failed, open_now = [], [0], [0]
    first = b'GET / HTTP/1.0\r\nUser-Agent: ' if kind == 'web' else b''

    def holder():
        while time.monotonic() < stop:
            try:
                s = connect_from(HOLDER_ADDRESS, port, 10)
            except OSError:
                time.sleep(0.05)
                continue
            with lock:
                open_now[0] += 1
            try:
                s.sendall(first)
                s.setblocking(False)
                while time.monotonic() < stop:
                    time.sleep(5 if kind == 'web' else 1)
                    try:  # closed by the server (a refusal or a farewell, then the end)?
                        while True:
                            chunk = s.recv(4096)
                            if not chunk:
                                raise OSError('closed')
                    except BlockingIOError:
                        pass
                    if kind == 'web':
                        s.sendall(b'a')
            except OSError:
                pass
            finally:
                with lock:
                    open_now[0] -= 1
                s.close()
            time.sleep(0.05)

    def worker():
        work = web_work if kind == 'web' else ftp_work
        while time.monotonic() < stop:
            began = time.monotonic()
            try:
                ok = work(port)
            except OSError:
                ok = False
            with lock:
                if ok:
                    times.append(time.monotonic() - began)
                else:
                    failed[0] += 1
            if not ok:
                time.sleep(0.05)

    held = [threading.Thread(target=holder, daemon=True) for _ in range(holders)]
    for t in held:
        t.start()
    time.sleep(2)  # the holders first
    began = time.monotonic()
    working = [threading.Thread(target=worker) for _ in range(workers)]
    for t in working:
        t.start()
    time.sleep(max(0.0, stop - 1 - time.monotonic()))
    with lock:  # a second before the end, while every holder still tries
        still_open = open_now[0]
    for t in working:
        t.join()
    elapsed = time.monotonic() - began
    times.sort()
    n = len(times)
    print(f'served {n}')
    print(f'failed {failed[0]}')
    print(f'served_per_s {n / elapsed:.1f}')
    print(f'median_s {times[n // 2] if n else 0:.3f}')
    print(f'p90_s {times[min(n - 1, n * 9 // 10)] if n else 0:.3f}')
    print(f'holders_open {still_open}')


def main():
    what = sys.argv[1]
    if what == 'folder':
        make_folder(sys.argv[2], int(sys.argv[3]))
    elif what == 'watch':
        watch(int(sys.argv[2]), sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else '')
    elif what == 'rss':
        print(f'{tree_rss_kb(int(sys.argv[2])) / 1024:.0f}')
    elif what == 'ftp-lists':
        ftp_lists(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), float(sys.argv[5]))
    elif what == 'lockout':
        lockout(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5]),
                float(sys.argv[6]))
    else:
        sys.exit(f'unknown command {what}')


if __name__ == '__main__':
    main()
