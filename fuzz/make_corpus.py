#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/ (valid inputs)."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def control(seed=1, chunk=4, step_ms=100, flags=0x03, clock=0):
    """The 8-byte control block of a stream target (see FuzzSupport.h)."""
    return struct.pack('<IBBBB', seed, chunk, step_ms // 4, flags, clock)


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data if isinstance(data, bytes) else data.encode())


def full_control(kind, seq):
    s = (0xC8 + kind + seq) & 0xFF
    pad = 0x13 if s == 0x37 else 0
    s = (s + pad) & 0xFF
    return bytes([0xC8, kind, seq, pad, (~s) & 0xFF])


def full_data(seq, blocks):
    out = bytearray([0xC8, 0x24, seq])

    def put(b, stuff):
        out.append(b)
        if stuff and b == 0xC8:
            out.append(b)
    for i, (mtype, data) in enumerate(blocks):
        put(mtype, False)
        put(len(data) & 0xFF, True)
        put(len(data) >> 8, False)
        for b in data:
            put(b, True)
        if i + 1 < len(blocks):
            put(0x01, False)
    s = sum(out) & 0xFF
    last = 0x13 if s == 0x37 else 0
    out.append(last)
    s = (s + last) & 0xFF
    out.append((~s) & 0xFF)
    return bytes(out)


def simple_frame(mtype, data):
    body = bytes([0x1B, 0x24, 0x0D, mtype, len(data) & 0xFF, len(data) >> 8]) + data
    return body + bytes([(~sum(body)) & 0xFF])


def oip(mtype, body, fnclass=0x43):
    word = mtype | (fnclass << 24)
    return struct.pack('<IIII', word, 16 + len(body), 0, 0) + body


def multi(package, mtype, data):
    return bytes([0xAA, 0x55, package, mtype, len(data) & 0xFF, len(data) >> 8]) + data


def main():
    with open(os.path.join(HERE, '..', 'examples', 'FNID.DEF'), 'rb') as f:
        write('deffile', 'example', f.read())
    write('deffile', 'small_with_extension',
          '#define REQUEST\nPING 0x0101 { B } { B }\nSETVAL 0102 { B W } { E }\n'
          '#define UPDATE\nCHANGED 513 { B D }\n\0'
          '// extension\n#define REQUEST\nDEVONLY 0x7000 { S8 (B W)2 } { - }\n')
    write('deffile', 'comments', '; comment\n/* block\n comment */\n#define REQUEST\n'
          'A 1 { C4 X2 } { H I } // trailing\nB 2 { - } { D }\n')

    write('rfc', 'all_types', 'B W S4 (B W)2 D I H X C E U P\0'
          '1 2 "AB" 3 4 5 6 7 -8 0x1F 9 Z 10 11 12\0'
          + '\x01\x01\x00\x00\x07\x08\x09\x0a')
    write('rfc', 'more_lines', 'B3 S8 W\0001\n2 3\n"HELLO"\n0x1234\0\x01\x01\x00\x00\x01\x02\x03')
    write('rfc', 'response_mode', '!D W\0' '0x12345678 17\0\x01\x01\x00\x00\x78\x56\x34\x12\x11\x00')
    write('rfc', 'update', '(B C2)3\0' '*1 A B 2 C D 3 E F\0\x02\x01\x01AB\x02CD')
    write('rfc', 'none', '-\0\0\x01\x01\x00\x00')
    write('json', 'all_types', b'\x04S4 I C2 X2 (B W)2 D H E U P\0'
          b'\x01\x01\x00\x00A\xe9"\x01\xfb\xff\x00\xff\x1f\xa0\x01\x02\x00\x03\x04\x00'
          b'\x78\x56\x34\x12\x01\x00\x02\x00\x03\x00\x04\x00\x05\x00\xab\xcd')
    write('json', 'unknown_fnid', b'\x03B\0\x99\x09\x80\xff\x00')
    write('json', 'unclosed', b'\x05W (B (C2\0\x01\x01\x01\x00\x02\x41\x42')

    write('cmd', 'commands', 'HELP\nPING 1\nSETVAL 1\n2\nPFNID\nTERM HELLO\nTERMTYPE 7\n'
          'TERM\nWORLD\nMSGTYPE RSP\nSETVAL 3 4\nMSGTYPE REQ\nLOG ON\nLOG VIEW\nLOG OFF\n'
          'LOADDB X\nEXIT\n')
    write('cmd', 'script', 'RESFILE R.TXT\nSCRIPT S.TXT\n\n\n\nREPEAT ON\nSCRIPT S.TXT\n'
          '\n\n\nREPEAT OFF\nRESFILE\nPFNID\n')
    write('cmd', 'timed', 'TFC 1 PING 3\n\n\n\n\n\n\n\n\nTFC\nNAMES "ABC" 1 2\n3 4\n')
    write('cmd', 'own_script', 'SCRIPT S.TXT\n\n\n\n\n\n\n\n\0; comment\n// comment\nPING 7\n'
          'PAUSE 1\nSETVAL 1 2\nTERM HI\nPAUSE\nNAMES "A B" 1 2 3 4\nSCRIPT S.TXT\n')
    write('cmd', 'protocol', 'PROTOCOL HELP\nPROTOCOL\nPROTOCOL STAT\nPROTOCOL PARAM 5 2 2 1\n')

    preamble = bytes([0xC8, 0x3F, 0x80, 0x00, 0x78]) + full_control(0x3F, 0) * 2
    write('rsm_full', 'data_frames', control() + preamble +
          full_data(0, [(3, b'\x34\x12')]) + full_data(1, [(4, b'\xC8\x01'), (20, b'')]) +
          full_control(0x40, 0))
    write('rsm_full', 'comm_params', control(seed=7, chunk=0, flags=0x00) + preamble +
          full_data(0, [(15, struct.pack('<HHHHBB', 1, 5, 2, 2, 1, 0))]) +
          full_data(1, [(15, struct.pack('<H', 0x3001))]))
    write('rsm_full', 'nak_and_long', control(seed=3, chunk=11, step_ms=40, flags=0x01) +
          preamble + full_control(0x2B, 0) + full_data(0, [(4, bytes(range(256)) * 2)]))

    write('rsm_simple', 'frames', control() + simple_frame(4, b'\x01\x01\x00\x00\x05') +
          simple_frame(5, b'') + simple_frame(2, b''))
    write('rsm_simple', 'bad_checksum', control(seed=9, chunk=1, step_ms=120, flags=0) +
          simple_frame(4, b'\x01\x02')[:-1] + b'\x00' + simple_frame(3, bytes(300)))

    write('rsm_terminal', 'lines', control() + b'HELLO\rWORLD\x08\x08D\r\n' + b'X' * 250 + b'\r')
    write('rsm_terminal', 'short_reads', control(seed=5, chunk=0, step_ms=0, flags=0x10) +
          b'LINE ONE\rLINE TWO\r')

    write('ipm_oip', 'messages', control() + oip(4, b'\x01\x01\x00\x00\x05') +
          oip(3, b'\x02\x01\x07') + oip(5, b'') + oip(0x20, b'', fnclass=0x00) +
          oip(0x27, b'', fnclass=0x00))
    write('ipm_oip', 'bad_length', control(seed=11, chunk=2, step_ms=1000, flags=0x06) +
          struct.pack('<IIII', 0x43000004, 8, 0, 0) + b'\xAA' * 40 + oip(4, b'\x01\x01'))
    write('ipm_oip', 'long', control(seed=13, chunk=11, flags=0x01) + oip(4, bytes(3000)))

    write('ipm_multi', 'packages', control() + multi(1, 4, b'\x01\x01\x00\x00\x05') +
          multi(2, 0, b'') + multi(1, 6, b'HELP\x00'))
    write('ipm_multi', 'timeout', control(seed=17, chunk=3, step_ms=300, flags=0x04) +
          multi(1, 3, bytes(100)) + b'\x00\x55\xAA\x55\x01')

    write('ipm_terminal', 'lines', control() + b'HELP\rPING 1\rAB\x08C\r' + b'Y' * 300 + b'\r')
    write('ipm_terminal', 'hangup', control(seed=19, chunk=0, step_ms=10, flags=0x14) +
          b'EXIT\r')

    # The same streams delivered to the application's own handlers.
    app = control(seed=23, chunk=5, step_ms=50, flags=0x20)
    write('rsm_full', 'application', app + preamble +
          full_data(0, [(4, b'\x02\x01\x00\x00ABCDEFGH\x01\x02\x00\x03\x04\x00')]) +
          full_data(1, [(15, struct.pack('<HHHHBB', 2, 5, 2, 2, 1, 0)), (6, b'HELP\x00')]))
    write('rsm_simple', 'application', app + simple_frame(4, b'\x01\x01\x00\x00\x05') +
          simple_frame(5, b'\x00\x02\x01\x02\x03\x04\x05\x06\x07\x08\x09'))
    write('rsm_terminal', 'application', app + b'HELP\rPING 1\r')
    write('ipm_oip', 'application', app + oip(4, b'\x02\x01\x00\x00ABCDEFGH\x01\x02\x00') +
          oip(5, b'\x00\x02\x01\x02\x03\x04\x05\x06\x07'))
    write('ipm_multi', 'application', app + multi(1, 4, b'\x03\x01\x00\x00') +
          multi(1, 6, b'PFNID\x00'))
    write('ipm_terminal', 'application', app + b'HELP\rPFNID\r')


if __name__ == '__main__':
    main()
