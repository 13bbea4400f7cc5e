"""Results of the packaging checks, one line each, and the exit code they add up to."""


class CheckList:
    def __init__(self, show_passes):
        self.show_passes = show_passes
        self.failures = []

    def check(self, ok, what):
        if ok:
            if self.show_passes:
                print("ok:   " + what)
        else:
            print("FAIL: " + what)
            self.failures.append(what)

    def exit_code(self, passed):
        """1 after the number of failures, or 0 after the passed line."""
        if self.failures:
            print("%d failures" % len(self.failures))
            return 1
        print(passed)
        return 0
