#!/usr/bin/python3
"""Independent readers and writers for the server exports' tests.

PSKC through Debian's python3-pskc, CSV through Python's csv module. The
keys, passphrases and tokens come as JSON on standard input (never on the
command line); results go to standard output as JSON.

  server_files.py read-pskc FILE    stdin {"key": hex} or {"passphrase": text} or {}
  server_files.py write-pskc FILE   stdin {"key": hex} or {"passphrase": text, "prf": name},
                                          "tokens": [{"serial", "secret" (hex), "digits", "step",
                                                      "suite", "user"}]
  server_files.py read-csv FILE     rows as lists of fields
  server_files.py read-jsonl FILE   per line, its reader and result as a JSON list
"""
import csv
import json
import sys

TOTP = 'urn:ietf:params:xml:ns:keyprov:pskc:totp'


def read_pskc(path, request):
    import pskc
    from pskc.exceptions import PSKCError
    container = pskc.PSKC(path)
    if request.get('key'):
        container.encryption.key = bytes.fromhex(request['key'])
    elif request.get('passphrase'):
        container.encryption.derive_key(request['passphrase'])
    try:
        return [{
            'serial': key.serial,
            'manufacturer': key.manufacturer,
            'model': key.model,
            'id': key.id,
            'secret': key.secret.hex().upper(),
            'algorithm': key.algorithm,
            'suite': key.algorithm_suite,
            'digits': key.response_length,
            'encoding': key.response_encoding,
            'step': key.time_interval,
            'user': key.userid,
            'mac': container.mac.algorithm,
        } for key in container.keys]
    except PSKCError as error:
        return {'error': type(error).__name__, 'message': str(error)}


def write_pskc(path, request):
    import pskc
    container = pskc.PSKC()
    for token in request['tokens']:
        key = container.add_key(
            id=token['serial'], serial=token['serial'], manufacturer='Vendor',
            secret=bytes.fromhex(token['secret']), algorithm=TOTP,
            response_length=token['digits'], response_encoding='DECIMAL',
            time_interval=token['step'])
        if token.get('suite'):
            key.algorithm_suite = token['suite']
        if token.get('user'):
            key.key_userid = token['user']
    if request.get('key'):
        container.encryption.setup_preshared_key(
            key=bytes.fromhex(request['key']), key_name='Pre-shared-key')
    else:
        container.encryption.setup_pbkdf2(
            request['passphrase'], iterations=2000, prf=request.get('prf'))
    container.write(path)
    return {'written': len(request['tokens'])}


def read_csv(path):
    with open(path, newline='') as f:
        return [row for row in csv.reader(f)]


def read_jsonl(path):
    lines = []
    with open(path, encoding='utf-8') as f:
        for line in f:
            entry = json.loads(line)  # strict: no raw control characters
            lines.append(json.dumps([entry['reader'], entry['result']]) + '\n')
    return ''.join(lines)


def main():
    command, path = sys.argv[1], sys.argv[2]
    if command == 'read-pskc':
        result = read_pskc(path, json.load(sys.stdin))
    elif command == 'write-pskc':
        result = write_pskc(path, json.load(sys.stdin))
    elif command == 'read-csv':
        result = read_csv(path)
    elif command == 'read-jsonl':
        sys.stdout.write(read_jsonl(path))
        return
    else:
        sys.exit('unknown command ' + command)
    json.dump(result, sys.stdout)


if __name__ == '__main__':
    main()
