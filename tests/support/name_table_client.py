#!/usr/bin/python3
"""One action of the name table, carried out by a stock client against our sharing servers.

Usage: name_table_client.py CLIENT PORT ACTION FOLDER NAME_HEX NEW_FILE LOCAL_DIR

CLIENT: ftplib, curl-ftp (the FTP server), http.client, curl-http (the web server).
FOLDER: the case folder's path from the server's root ("table/c1-2"). NAME_HEX: the name's bytes.
NEW_FILE: what an upload sends. LOCAL_DIR: where downloads go (a folder download into
LOCAL_DIR/<last part of FOLDER>/). A listing prints each name's bytes in hex, one a line.
Names go out in exactly their bytes: ftplib with Latin-1 (one byte a character), curl and
http.client with each byte percent-encoded in the address.
"""
import ftplib
import http.client
import os
import re
import subprocess
import sys
import urllib.parse

client, port, action, folder, name_hex, new_file, local = sys.argv[1:8]
port = int(port)
name = bytes.fromhex(name_hex)
folder_b = folder.encode()
leaf = folder.rsplit('/', 1)[-1]


def text(b):
    return b.decode('latin-1')


def quoted(b):
    return urllib.parse.quote_from_bytes(b, safe=b'/').encode('ascii')


def save(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def curl(*args):
    argv = [b'curl', b'-s', b'-S', b'-f', b'-m', b'30'] + [a if isinstance(a, bytes) else a.encode() for a in args]
    r = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if r.returncode != 0:
        sys.exit('curl %r: %d %s' % (argv, r.returncode, r.stderr.decode(errors='replace')))
    return r.stdout


def ftp():
    f = ftplib.FTP(encoding='latin-1')
    f.connect('127.0.0.1', port, timeout=30)
    f.login('anonymous', 'x')
    return f


def ftplib_action():
    f = ftp()
    f.cwd('/' + folder)
    n = text(name)
    if action == 'list':
        for entry in f.nlst():
            print(entry.encode('latin-1').hex())
    elif action == 'download':
        out = bytearray()
        f.retrbinary('RETR ' + n, out.extend)
        save(os.path.join(local, 'got'), bytes(out))
    elif action == 'delete':
        f.delete(n)
    elif action == 'rename':
        f.rename(n, 'renamed.txt')
    elif action == 'move':
        f.rename(n, 'into/' + n)
    elif action == 'save':
        with open(new_file, 'rb') as data:
            f.storbinary('STOR ' + n, data)
    elif action == 'upload-folder':
        f.mkd('up')
        with open(new_file, 'rb') as data:
            f.storbinary('STOR up/' + n, data)
    elif action == 'download-folder':
        for entry in f.nlst():
            out = bytearray()
            try:
                f.retrbinary('RETR ' + entry, out.extend)
            except ftplib.error_perm:
                continue  # a folder
            save(os.path.join(local.encode(), leaf.encode(), entry.encode('latin-1')), bytes(out))
    else:
        sys.exit('no such action: ' + action)
    f.quit()


def names_of(listing):
    return [line.rstrip(b'\r') for line in listing.split(b'\n') if line.rstrip(b'\r')]


def curl_ftp_action():
    base = b'ftp://127.0.0.1:%d/' % port + quoted(folder_b) + b'/'
    # curl sends quoted commands before it enters the address's folder: they name the path.
    n = b'/' + folder_b + b'/' + name
    into = b'/' + folder_b + b'/into/' + name
    if action == 'list':
        for entry in names_of(curl(b'--list-only', b'-u', b'anonymous:x', base)):
            print(entry.hex())
    elif action == 'download':
        save(os.path.join(local, 'got'), curl(b'-u', b'anonymous:x', base + quoted(name)))
    elif action == 'delete':
        curl(b'-u', b'anonymous:x', b'-Q', b'DELE ' + n, base)
    elif action == 'rename':
        curl(b'-u', b'anonymous:x', b'-Q', b'RNFR ' + n, b'-Q',
             b'RNTO /' + folder_b + b'/renamed.txt', base)
    elif action == 'move':
        curl(b'-u', b'anonymous:x', b'-Q', b'RNFR ' + n, b'-Q', b'RNTO ' + into, base)
    elif action == 'save':
        curl(b'-u', b'anonymous:x', b'-T', new_file.encode(), base + quoted(name))
    elif action == 'upload-folder':
        curl(b'-u', b'anonymous:x', b'--ftp-create-dirs', b'-T', new_file.encode(),
             base + b'up/' + quoted(name))
    elif action == 'download-folder':
        for entry in names_of(curl(b'--list-only', b'-u', b'anonymous:x', base)):
            if entry == b'into':
                continue
            save(os.path.join(local.encode(), leaf.encode(), entry),
                 curl(b'-u', b'anonymous:x', base + quoted(entry)))
    else:
        sys.exit('no such action: ' + action)


def links(page):
    return [urllib.parse.unquote_to_bytes(l.decode('ascii'))
            for l in re.findall(rb"<td class='desc'><a href='([^']*)'", page)]


def web_get(path):
    if client == 'curl-http':
        return curl(b'http://127.0.0.1:%d' % port + path)
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
    c.request('GET', text(path))
    r = c.getresponse()
    body = r.read()
    c.close()
    if r.status != 200:
        sys.exit('GET %r: %d' % (path, r.status))
    return body


def web_post(path, filename, data):
    if client == 'curl-http':
        # curl takes the part's file name as given, byte for byte.
        curl(b'-F', b'file1=@' + new_file.encode() + b';filename="' + filename + b'"',
             b'http://127.0.0.1:%d' % port + path)
        return
    boundary = b'nAmEtAbLe-b0undary'
    body = (b'--' + boundary + b'\r\nContent-Disposition: form-data; name="file1"; filename="' +
            filename + b'"\r\nContent-Type: application/octet-stream\r\n\r\n' + data +
            b'\r\n--' + boundary + b'--\r\n')
    c = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
    c.request('POST', text(path), body,
              {'Content-Type': 'multipart/form-data; boundary=' + boundary.decode()})
    r = c.getresponse()
    r.read()
    c.close()
    if r.status != 200:
        sys.exit('POST %r: %d' % (path, r.status))


def web_action():
    base = b'/' + quoted(folder_b) + b'/'
    if action == 'list':
        for entry in links(web_get(base)):
            print(entry.rstrip(b'/').hex())
    elif action == 'download':
        save(os.path.join(local, 'got'), web_get(base + quoted(name)))
    elif action == 'save':
        with open(new_file, 'rb') as f:
            web_post(base, name, f.read())
    elif action == 'download-folder':
        for entry in links(web_get(base)):
            if entry.endswith(b'/'):
                continue
            save(os.path.join(local.encode(), leaf.encode(), entry), web_get(base + quoted(entry)))
    else:
        sys.exit('no such action: ' + action)


if client == 'ftplib':
    ftplib_action()
elif client == 'curl-ftp':
    curl_ftp_action()
else:
    web_action()
