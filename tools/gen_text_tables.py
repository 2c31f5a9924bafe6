#!/usr/bin/env python3
"""Generates config_tool/model/text_tables_data.cpp from the markdown description of the text
tables (the section titled "Text tables"), so that every text is copied code point for code point.

    tools/gen_text_tables.py DOCUMENT.md > config_tool/model/text_tables_data.cpp

Run it once when the tables change, then read the diff of the output by hand.
"""
import re
import sys

PAIR = re.compile(r'"([^"]*)" / "([^"]*)"')


def section(lines):
    start = next(i for i, l in enumerate(lines) if re.match(r'^# .*: Text tables\s*$', l))
    end = next(i for i in range(start + 1, len(lines)) if lines[i].startswith('# '))
    return lines[start + 1:end]


def cells(line):
    return [c.strip() for c in line.strip().strip('|').split('|')]


def unquote(cell):
    if len(cell) >= 2 and cell[0] == '"' and cell[-1] == '"':
        return cell[1:-1]
    if cell == '':
        return ''
    raise ValueError('not a quoted text: %r' % cell)


def tables(body):
    """Yields (paragraph before the table, header cells, rows of cells)."""
    para, i = '', 0
    while i < len(body):
        line = body[i]
        if line.startswith('|'):
            header = cells(line)
            rows = []
            i += 2  # header and separator
            while i < len(body) and body[i].startswith('|'):
                rows.append(cells(body[i]))
                i += 1
            yield para, header, rows
            continue
        if line.strip():
            para = line
        i += 1


def pairs_after(body, label):
    line = next(l for l in body if l.startswith(label))
    return PAIR.findall(line)


def parse(body):
    out = {}
    for para, header, rows in tables(body):
        if header == ['#', 'Russian', 'English', 'use']:
            out['messages'] = [(unquote(r[1]), unquote(r[2])) for r in rows]
            assert [int(r[0]) for r in rows] == list(range(35))
        elif header == ['#', 'sets', 'Russian', 'English']:
            caps = [('', '')] * 99
            for r in rows:
                caps[int(r[0])] = (unquote(r[2]), unquote(r[3]))
            out['captions'] = caps
        elif header[:3] == ['row', 'group', 'bit']:
            out['events'] = [(int(r[1]), int(r[2]), unquote(r[3]), unquote(r[4])) for r in rows]
            assert [int(r[0]) for r in rows] == list(range(1, 43))
        elif header == ['item', 'Russian', 'English'] and para.startswith('Partition types'):
            items = []
            for r in rows:
                m = re.match(r'the bare numbers (\d+) to (\d+)', r[1])
                if m:
                    items += [(str(n), str(n)) for n in range(int(m[1]), int(m[2]) + 1)]
                else:
                    assert int(r[0]) == len(items)
                    items.append((unquote(r[1]), unquote(r[2])))
            out['partition'] = items
        elif header == ['item', 'Russian', 'English'] and para.startswith('Indication types'):
            out['indication'] = [(unquote(r[1]), unquote(r[2])) for r in rows]
    out['buttons'] = pairs_after(body, 'Button modes:')
    out['leds'] = pairs_after(body, 'System LED types')
    out['colours'] = pairs_after(body, 'Colours')
    sounds = pairs_after(body, 'Sounds')
    out['sounds'] = sounds + [(str(n), str(n)) for n in range(len(sounds), 31)]
    # The Russian unit of the lengths is the Cyrillic "с" (seconds), whatever the source shows.
    out['lengths'] = [(ru.replace('c', '\u0441'), en) for ru, en in pairs_after(body, 'Preview lengths')]
    named = dict((int(n), (ru, en)) for n, ru, en in
                 re.findall(r'[Rr]ow (\d+) (?:is )?"([^"]*)" / "([^"]*)"',
                            next(l for l in body if l.startswith('Device type names'))))
    out['devices'] = [named.get(n, ('Прибор %02d' % n, 'Device %02d' % n)) for n in range(47)]
    return out


def lit(text):
    return '"' + text.replace('\\', '\\\\').replace('"', '\\"') + '"'


def emit(t, lang):
    k = 0 if lang == 'Russian' else 1
    o = []
    o.append('const TextTables k%sTables{' % lang)

    def arr(name, rows):
        o.append('    .%s{{' % name)
        for r in rows:
            o.append('        %s,' % lit(r[k]))
        o.append('    }},')

    arr('deviceTypes', t['devices'])
    o.append('    .eventClasses{{')
    for g, b, ru, en in t['events']:
        o.append('        {%d, %d, %s},' % (g, b, lit(ru if k == 0 else en)))
    o.append('    }},')
    arr('messages', t['messages'])
    arr('captions', t['captions'])
    arr('partitionTypes', t['partition'])
    arr('buttonModes', t['buttons'])
    arr('systemLedTypes', t['leds'])
    arr('indicationTypes', t['indication'])
    arr('colours', t['colours'])
    arr('sounds', t['sounds'])
    arr('previewLengths', t['lengths'])
    o.append('};')
    return '\n'.join(o)


def main():
    with open(sys.argv[1], encoding='utf-8') as f:
        body = section(f.read().split('\n'))
    t = parse(body)
    counts = {'devices': 47, 'events': 42, 'messages': 35, 'captions': 99, 'partition': 17,
              'buttons': 4, 'leds': 7, 'indication': 24, 'colours': 5, 'sounds': 31, 'lengths': 4}
    for name, n in counts.items():
        assert len(t[name]) == n, (name, len(t[name]))
    print('// Generated by tools/gen_text_tables.py; edit the generator or its input, not this file.')
    print('#include "config_tool/model/text_tables_data.h"')
    print()
    print('namespace model::detail {')
    print()
    print(emit(t, 'Russian'))
    print()
    print(emit(t, 'English'))
    print()
    print('} // namespace model::detail')


if __name__ == '__main__':
    main()
