"""--help, --version and a bad option of the installed tools, and their manual pages.

    check_help.py HEADER NAME=EXECUTABLE[,MANPAGE] ...

Each tool answers --help and --version on standard output with status 0 and starts nothing
else (the fake bluetoothd given --private-bus and --help starts no dbus-daemon); a bad option
is a usage error (2) that writes nothing to standard output. A manual page, where given, has
every command of the help, with its options, and the examples. Exits 1 on the first failure.
"""
import gzip
import re
import subprocess
import sys

header, *tools = sys.argv[1:]
with open(header) as f:
    text = f.read()
version = ".".join(re.search(rf"#define MIVOBLE_VERSION_{part} (\d+)", text).group(1) for part in ("MAJOR", "MINOR", "PATCH"))


def run(executable, args):
    return subprocess.run([executable, *args], capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)


def commands(help_text):
    """The names listed under "Subcommands:" in a CLI11 help."""
    block = help_text.split("\nSubcommands:\n", 1)
    if len(block) == 1:
        return []
    return [m.group(1) for m in re.finditer(r"^  (\S+)", block[1].split("\n\n", 1)[0], re.M)]


failures = []
for tool in tools:
    name, _, paths = tool.partition("=")
    executable, _, manpage = paths.partition(",")
    # (arguments, status, what standard output must match, what standard error must match)
    cases = [
        (["--help"], 0, rf"(?im)^usage: {re.escape(name)} ", r"^$"),
        (["--version"], 0, rf"^{re.escape(name)} {re.escape(version)}(\.0)?\n$", r"^$"),
        (["--no-such-option"], 2, r"^$", r"\S"),
    ]
    if name == "mivoble-fake-bluetoothd":
        cases += [
            (["--private-bus", "--help"], 0, r"(?m)^  --private-bus ", r"^$"),
            (["-h"], 0, r"(?m)^  --bus ADDRESS ", r"^$"),
            ([], 2, r"^$", r"(?im)^usage: "),
        ]
    for args, status, out, err in cases:
        result = run(executable, args)
        if result.returncode != status or not re.search(out, result.stdout) or not re.search(err, result.stderr):
            failures.append(f"{name} {' '.join(args)}: status {result.returncode} (want {status}), "
                            f"stdout {result.stdout[:200]!r}, stderr {result.stderr[:200]!r}")
    if manpage:
        with gzip.open(manpage, "rt") as f:
            page = f.read()
        top = run(executable, ["--help"]).stdout
        expected = []
        for command in commands(top):
            expected.append(command)
            expected += [f"{command} {sub}" for sub in commands(run(executable, [command, "--help"]).stdout)]
        for command in expected:
            section = re.search(rf'\.SS "{re.escape(name)} {re.escape(command)}"\n(.*?)(?=\n\.SS |\n\.SH )', page, re.S)
            if not section:
                failures.append(f"{manpage}: no section for '{command}'")
                continue
            # Every option of the command's help is a tagged paragraph of its section.
            help_text = run(executable, [*command.split(), "--help"]).stdout.split("\nExamples", 1)[0]
            for option in re.findall(r"^  (--[a-z-]+)", help_text, re.M):
                if f".B {option.replace('-', chr(92) + '-')}" not in section.group(1):
                    failures.append(f"{manpage}: '{command}' lacks {option}")
        for heading in (".SH NAME", ".SH SYNOPSIS", ".SH DESCRIPTION", ".SH OPTIONS", ".SH \"SEE ALSO\""):
            if heading not in page:
                failures.append(f"{manpage}: no {heading}")
        if commands(top) and not re.search(r"\.SH EXAMPLES\n(.*\n)*?\.nf\n" + re.escape(name) + " ", page):
            failures.append(f"{manpage}: no examples kept line by line")

for failure in failures:
    print("FAILED:", failure)
print(f"{len(tools)} tools checked, {len(failures)} failures")
sys.exit(1 if failures else 0)
