"""Runs the binding sections of docs/bindings.md as written: their shell
steps, then their examples, on small trees made for the purpose; and checks
that the README's short example for the chosen language is part of the
example run, so that the front page shows only code that runs.

    readme_examples.py python|dotnet|node

In a scratch copy of the project's folder (links to scripts/ and bindings/,
and build/run standing for the build CTest made), it runs the steps of
"Packages of the bindings", then those of the chosen section, each shell
step, with the steps before it, in one bash session and the section's example
run after it (the Python example after each of the two ways to install). What is changed, and
only this: "bash scripts/build-packages.sh" is given --library with the
library CTest built, rather than building build/run anew; "/srv/archive" and
"/srv/logs" name the trees made here. The checks are on the trees: what the
example removed, and what it left.

Run by CTest with EDCLEAN_TEST_LIBRARY (the built library) and
EDCLEAN_TEST_BUILD_DIR (its build tree). Exits 77 (CTest's skip) with the
reason when a tool the section needs is missing, or when npm cannot reach its
registry for koffi.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SKIP = 77
BINDINGS = "docs/bindings.md"
SECTIONS = {"python": "Python", "dotnet": ".NET", "node": "Node"}
LANGUAGES = {"python": "python", "dotnet": "csharp", "node": "js"}
TOOLS = {"python": ["python3"], "dotnet": ["python3", "mcs", "mono"], "node": ["node", "npm"]}


def section(page, title, name=BINDINGS):
    match = re.search(r"^## " + re.escape(title) + r"\n(.*?)(?=^##? |\Z)", page, re.S | re.M)
    if not match:
        raise SystemExit(f"{name} has no section ## {title}")
    return match.group(1)


def code_lines(body):
    return [line.strip() for line in body.splitlines() if line.strip()]


def shown_in(fragment, body):
    """Whether the lines of `fragment` appear together, in order, in `body`
    (indentation and blank lines aside)."""
    want, have = code_lines(fragment), code_lines(body)
    return any(have[i:i + len(want)] == want for i in range(len(have) - len(want) + 1))


def blocks(text):
    return [(lang, body) for lang, body in re.findall(r"^```(\w+)\n(.*?)^```\n", text, re.S | re.M)]


def make_trees(top):
    """The trees the examples name; returns (archive, logs)."""
    if os.path.exists(top):
        shutil.rmtree(top)
    archive = os.path.join(top, "archive")
    logs = os.path.join(top, "logs")
    os.makedirs(os.path.join(archive, "old", "tmp"))
    with open(os.path.join(archive, "notes.txt"), "w"):
        pass
    with open(os.path.join(archive, "keep"), "w") as f:
        f.write("data")
    os.makedirs(os.path.join(logs, "node_modules"))
    for name in ("old.log", "new.log", os.path.join("node_modules", "x.log")):
        with open(os.path.join(logs, name), "w"):
            pass
    hours_ago = time.time() - 7200
    os.utime(os.path.join(logs, "old.log"), (hours_ago, hours_ago))
    return archive, logs


def run_bash(script, cwd, env):
    done = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=600)
    sys.stdout.write(done.stdout)
    sys.stdout.write(done.stderr)
    return done


def registry_unreachable(output):
    return re.search(r"ENOTFOUND|EAI_AGAIN|ECONNREFUSED|ECONNRESET|ETIMEDOUT|ENETUNREACH|"
                     r"EHOSTUNREACH|ERR_SOCKET_TIMEOUT|SELF_SIGNED_CERT_IN_CHAIN|"
                     r"UNABLE_TO_GET_ISSUER_CERT|UNABLE_TO_VERIFY_LEAF_SIGNATURE", output)


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in SECTIONS:
        raise SystemExit("usage: readme_examples.py python|dotnet|node")
    which = sys.argv[1]
    for tool in TOOLS[which]:
        if not shutil.which(tool):
            print(f"skipped: {tool} is not installed, and the {SECTIONS[which]} section needs it")
            return SKIP
    library = os.environ["EDCLEAN_TEST_LIBRARY"]
    build_dir = os.environ["EDCLEAN_TEST_BUILD_DIR"]
    with open(os.path.join(SOURCE, BINDINGS), encoding="utf-8") as f:
        readme = f.read()
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        front = section(f.read(), "A first look", "README.md")

    with tempfile.TemporaryDirectory() as tmp:
        project = os.path.join(tmp, "project")
        os.makedirs(os.path.join(project, "build"))
        for name in ("scripts", "bindings"):
            os.symlink(os.path.join(SOURCE, name), os.path.join(project, name))
        os.symlink(build_dir, os.path.join(project, "build", "run"))
        env = {key: value for key, value in os.environ.items()
               if key not in ("EDCLEAN_LIBRARY", "VIRTUAL_ENV", "PYTHONPATH", "LD_LIBRARY_PATH")}
        env.update(LC_ALL="C.UTF-8", PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1",
                   PYTHONDONTWRITEBYTECODE="1")

        def shell(body):
            return body.replace("bash scripts/build-packages.sh",
                                f"bash scripts/build-packages.sh --library '{library}'")

        def example(body, archive, logs):
            return body.replace("/srv/archive", archive).replace("/srv/logs", logs)

        # The packages, made from the library CTest built.
        for lang, body in blocks(section(readme, "Packages of the bindings")):
            if lang == "sh":
                done = run_bash(shell(body), project, env)
                if done.returncode != 0:
                    print("FAIL  the packages' step failed")
                    return 1

        text = section(readme, SECTIONS[which])
        parts = blocks(text)
        steps = [body for lang, body in parts if lang == "sh"]
        code = {lang: body for lang, body in parts if lang != "sh"}
        failures = 0
        language = LANGUAGES[which]
        shown = [body for lang, body in blocks(front) if lang == language]
        if not shown or not all(shown_in(body, code.get(language, "")) for body in shown):
            print(f"FAIL  the README's {language} example is not part of the {SECTIONS[which]} example run here")
            failures += 1
        trees = os.path.join(tmp, "trees")
        for number in range(1, len(steps) + 1):
            # A reader runs the steps one after the other in one shell: the
            # session of step N has run the steps before it.
            step = "\n".join(steps[:number])
            archive, logs = make_trees(trees)
            if which == "python":
                # Where the example's library came from, to tell the two ways apart.
                where = "print('loaded:', edclean.load_library()._name)\n"
                script = (shell(step) + "\npython - <<'EXAMPLE'\n" + example(code["python"], archive, logs)
                          + where + "EXAMPLE\n")
            elif which == "dotnet":
                with open(os.path.join(project, "app.cs"), "w", encoding="utf-8") as f:
                    f.write(example(code["csharp"], archive, logs))
                script = shell(step)
            else:
                script = shell(step) + "\nnode - <<'EXAMPLE'\n" + example(code["js"], archive, logs) + "EXAMPLE\n"
            done = run_bash(script, project, env)
            if which == "node" and done.returncode != 0 and registry_unreachable(done.stdout + done.stderr):
                print("skipped: the npm registry cannot be reached to install koffi")
                return SKIP
            left = sorted(os.listdir(archive))
            logs_left = sorted(os.listdir(logs))
            what = f"{SECTIONS[which]} step {number}"
            loaded = re.findall(r"^loaded: (.*)$", done.stdout, re.M)
            if done.returncode != 0:
                print(f"FAIL  {what} exited {done.returncode}")
                failures += 1
            elif which == "python" and not (loaded and re.search(
                    r"/site-packages/tavirlen_edclean/[^/]+$" if number == 1 else r"/\.venv-source/lib/[^/]+$",
                    loaded[0])):
                print(f"FAIL  {what}: the library was loaded from {loaded}, not where this way puts it")
                failures += 1
            elif left != ["keep"]:
                print(f"FAIL  {what}: the example left {left} in the archive, not ['keep']")
                failures += 1
            elif which == "node" and logs_left != ["new.log", "node_modules"]:
                print(f"FAIL  {what}: the asynchronous example left {logs_left} in the logs")
                failures += 1
            else:
                print(f"ok    {what}: the example ran and removed what it found")
        if not steps:
            print(f"FAIL  the {SECTIONS[which]} section has no steps")
            failures += 1
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
