#!/usr/bin/env python3
"""Checks the detection scripts without PowerShell, which these machines lack.

A script passes when it tokenizes (strings, comments, here-strings are not
used), its brackets pair up, it calls only the cmdlets listed here with
their parameters as spelt here, uses only the operators listed here, ends
every path with "exit 0" (a detection script that fails tells the tool
nothing), and carries a whole version a.b.c.d, not a placeholder.

  check-scripts.py SCRIPT...      check each configured script
  check-scripts.py --seeded SCRIPT...
                                  check that each seeded fault in each
                                  script is caught
"""
import re
import sys

CMDLETS = {
    'Get-CimInstance': {'ClassName'},
    'Select-Object': {'First'},
    'Get-PrinterDriver': {'PrinterEnvironment', 'ErrorAction', 'Name'},
    'Get-Printer': {'ErrorAction', 'Name'},
    'New-Object': {'TypeName', 'ArgumentList'},
    'Write-Output': set(),
    'Test-Path': {'LiteralPath'},
    'Select-String': {'LiteralPath', 'Pattern'},
}
OPERATORS = {'like', 'notlike', 'band', 'shr', 'ge', 'and', 'or', 'not', 'eq'}
PAIRS = {')': '(', '}': '{', ']': '['}


def tokens(text):
    """(line, kind, value) for every word, bracket and operator outside
    strings and comments; raises ValueError for an unterminated one."""
    i, line, out = 0, 1, []
    while i < len(text):
        c = text[i]
        if c == '\n':
            line += 1
        if c == '#':
            while i < len(text) and text[i] != '\n':
                i += 1
            continue
        if c == '<' and text.startswith('<#', i):
            end = text.find('#>', i)
            if end < 0:
                raise ValueError(f'line {line}: a block comment without its end')
            line += text.count('\n', i, end)
            i = end + 2
            continue
        if c in '\'"':
            j = i + 1
            while True:
                if j >= len(text) or text[j] == '\n':
                    raise ValueError(f'line {line}: a string without its end')
                if c == '"' and text[j] == '`':
                    j += 2
                    continue
                if text[j] == c:
                    if text.startswith(c * 2, j):  # a doubled quote
                        j += 2
                        continue
                    break
                j += 1
            out.append((line, 'string', text[i + 1:j]))
            i = j + 1
            continue
        m = re.compile(r'[A-Za-z]+-[A-Za-z]+\b').match(text, i)
        if m and (i == 0 or not re.match(r'[\w$.]', text[i - 1])):
            out.append((line, 'cmdlet', m.group()))
            i = m.end()
            continue
        m = re.compile(r'-([A-Za-z]+)\b').match(text, i)
        if m and (i == 0 or not re.match(r'[\w$]', text[i - 1])):
            out.append((line, 'dash', m.group(1)))
            i = m.end()
            continue
        m = re.compile(r'exit\b\s*(\S*)').match(text, i)
        if m and (i == 0 or not re.match(r'[\w$.]', text[i - 1])):
            out.append((line, 'exit', m.group(1)))
            i = m.end()
            continue
        if c in '({[)}]':
            out.append((line, 'bracket', c))
        i += 1
    return out


def problems(text):
    """What is wrong with a script, in words; empty when nothing is."""
    try:
        found = tokens(text)
    except ValueError as error:
        return [str(error)]
    wrong, stack, cmdlet = [], [], None
    for line, kind, value in found:
        if kind == 'bracket' and value in '({[':
            stack.append((line, value))
        elif kind == 'bracket':
            if not stack or stack.pop()[1] != PAIRS[value]:
                wrong.append(f'line {line}: "{value}" closes nothing it opened')
            if value in ')}':
                cmdlet = None
        elif kind == 'cmdlet':
            if value not in CMDLETS:
                wrong.append(f'line {line}: the cmdlet {value} is not one the scripts may call')
            cmdlet = value
        elif kind == 'dash':
            if cmdlet is not None and value in CMDLETS.get(cmdlet, ()):
                continue
            if value.lower() not in OPERATORS:
                wrong.append(f'line {line}: -{value} is neither a parameter of {cmdlet} nor an operator')
        elif kind == 'exit' and value != '0':
            wrong.append(f'line {line}: "exit {value}": a detection script ends with 0')
    wrong += [f'line {line}: "{value}" is never closed' for line, value in stack]
    versions = [value for _, kind, value in found if kind == 'string' and re.fullmatch(r'[\d@A-Z_.]+', value)]
    if not any(re.fullmatch(r'(\d+)\.(\d+)\.(\d+)\.(\d+)', v) and max(map(int, v.split('.'))) <= 65535
               for v in versions):
        wrong.append('no version a.b.c.d (a placeholder left?)')
    if not text.rstrip().endswith('exit 0'):
        wrong.append('the last line is not "exit 0"')
    return wrong


# Faults a hand editing a script makes; each must be caught.
SEEDS = [
    ('a brace dropped', lambda t: t.replace('}', '', 1)),
    ('a cmdlet misspelt', lambda t: t.replace('Select-Object', 'Select-Objct', 1)),
    ('a parameter misspelt', lambda t: t.replace('-LiteralPath', '-LitralPath', 1).replace('-ClassName', '-ClasName', 1)),
    ('an operator misspelt', lambda t: t.replace('-ge', '-gte', 1)),
    ('a string left open', lambda t: t.replace("'Windows x64'", "'Windows x64", 1)),
    ('a failing exit', lambda t: t.replace('exit 0', 'exit 1', 1)),
    ('the version not filled in', lambda t: re.sub(r"'\d+\.\d+\.\d+\.\d+'", "'@CORVANE_DRIVER_VERSION@'", t)),
]


def main(args):
    seeded = args[:1] == ['--seeded']
    failed = False
    for path in args[1:] if seeded else args:
        text = open(path, encoding='utf-8').read()
        for problem in problems(text):
            print(f'{path}: {problem}')
            failed = True
        for what, seed in SEEDS if seeded else []:
            if seed(text) == text or not problems(seed(text)):
                print(f'{path}: {what}: not caught')
                failed = True
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
