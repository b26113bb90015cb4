#!/usr/bin/env python3
"""Runs one benchmark program as the smoke stage does and judges the run.

usage: bench_smoke.py PROGRAM [ARGUMENT...]

The program runs with the arguments in a temporary folder of its own (also its TMPDIR),
removed afterwards, writing its results as JSON there. The run fails when the program
ends by a signal or with a status other than 0, when a benchmark ended with an error
(skipped with one), or when a benchmark function the program registers did not run at
all (a filter among the arguments may leave out sizes, never a whole function). A program
still running after BOUND_SECONDS is ended, and the run fails naming the functions that
printed no result.
"""
import json
import os
import signal
import subprocess
import sys
import tempfile

# A bound, not a time limit: a program's run takes seconds, but one whose benchmark waits
# for something that never comes would hold the stage until ctest's own bound, which names
# nothing.
BOUND_SECONDS = 200


def function_of(name):
    return name.split('/')[0]


def fail(message, run=None):
    print('bench smoke: ' + message)
    if run is not None:
        print(run.stdout[-4000:])
        print(run.stderr[-4000:], file=sys.stderr)
    sys.exit(1)


def run_bounded(command, folder, env):
    """The finished run, its returncode None when it was ended at the bound (with all it
    started: a benchmark's children would hold its output open)."""
    p = subprocess.Popen(command, cwd=folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         text=True, errors='replace', start_new_session=True)
    try:
        out, err = p.communicate(timeout=BOUND_SECONDS)
        return subprocess.CompletedProcess(command, p.returncode, out, err)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        out, err = p.communicate()
        return subprocess.CompletedProcess(command, None, out, err)


def main():
    program, arguments = os.path.abspath(sys.argv[1]), sys.argv[2:]
    with tempfile.TemporaryDirectory(prefix='bench_smoke.') as folder:
        env = dict(os.environ, TMPDIR=folder)
        listed = subprocess.run([program, '--benchmark_list_tests=true'], cwd=folder, env=env,
                                capture_output=True, text=True, errors='replace')
        if listed.returncode != 0:
            fail('listing the benchmarks ended with status %d' % listed.returncode, listed)
        functions = {function_of(line) for line in listed.stdout.split('\n') if line.strip()}
        out = os.path.join(folder, 'runs.json')
        run = run_bounded([program, *arguments, '--benchmark_out=' + out, '--benchmark_out_format=json'],
                          folder, env)
        if run.returncode is None:
            silent = sorted(f for f in functions if f not in run.stdout)
            fail('still running after %d s; no result printed from: %s' % (BOUND_SECONDS, ', '.join(silent)), run)
        if run.returncode < 0:
            fail('ended by signal %d' % -run.returncode, run)
        if run.returncode != 0:
            fail('ended with status %d' % run.returncode, run)
        try:
            with open(out) as f:
                runs = json.load(f)['benchmarks']
        except (OSError, ValueError, KeyError) as e:
            fail('no results: %s' % e, run)
        errors = ['%s: %s' % (b['name'], b.get('error_message', '')) for b in runs if b.get('error_occurred')]
        if errors:
            fail('benchmarks ended with an error:\n  ' + '\n  '.join(errors), run)
        missing = sorted(functions - {function_of(b['name']) for b in runs})
        if missing:
            fail('benchmarks that did not run: ' + ', '.join(missing), run)
    print('bench smoke: %d runs of %d benchmark functions, no error' % (len(runs), len(functions)))


main()
