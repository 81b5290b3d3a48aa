#!/usr/bin/python3
"""Runs quantoria on a private X server, evaluates (12+34)*3 in the first row and saves a
screenshot of the window; for machines without a display.

    /usr/bin/python3 tests/e2e/demo.py path/to/quantoria path/to/screenshot.png
"""

import argparse
import os
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

EXPRESSION = "(12+34)*3"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("program", help="the quantoria binary")
    parser.add_argument("screenshot", help="where to write the PNG")
    args = parser.parse_args()
    output = os.path.abspath(args.screenshot)
    os.makedirs(os.path.dirname(output), exist_ok=True)

    try:
        with harness.watchdog(120), harness.Session(args.program) as session:
            session.click(session.find("Expression 1"))
            session.wait_focused("Expression 1")
            session.type_text(EXPRESSION)
            session.key("Return")
            shown, result = session.wait_text("Result 1", lambda text: text != "")
            session.screenshot(output)
    except (harness.HarnessError, harness.Aborted) as error:
        print(f"demo: {error}", file=sys.stderr)
        return 1
    print(f"{EXPRESSION} = {result if shown else '(no result shown)'}")
    print(f"screenshot: {output}")
    return 0 if shown else 1


if __name__ == "__main__":
    sys.exit(main())
