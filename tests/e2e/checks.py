"""What the end-to-end scripts share: a tally of named checks that prints one
line per check and the closing "N passed, M failed" line, and stopping the
tool with a signal to collect what it said."""
import subprocess


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, condition, detail=""):
        if condition:
            self.passed += 1
            print("ok   " + name)
        else:
            self.failed += 1
            print("FAIL " + name + (": " + detail if detail else ""))

    def close(self):
        """Prints the closing line; the script's exit status."""
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 0 if self.failed == 0 else 1


def finish(proc, timeout=30):
    """Waits for the tool to end: (status or None when it had to be killed,
    standard output bytes, standard error lines)."""
    try:
        out, err = proc.communicate(timeout=timeout)
        status = proc.returncode
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        status = None
    return status, out, err.decode("utf-8", "replace").splitlines()
