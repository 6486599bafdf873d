#!/usr/bin/env python3
"""Runs the stand-in server end to end with the plug-in installed in a fresh server directory,
then checks its log, its save file and its reports.

server_smoke_test.py --server PATH --plugin PATH --work-dir DIR [--emulator PATH]
                     [--host-spdlog-0] [--symbolizer PATH] [--lldb PATH] [--shard I/N]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

ARGS = None  # the command line, read in main()

# The few bytes a crashed save had on its stack are abandoned with it: the leak checker must
# look away for the runs that crash a save.
NO_LEAK_CHECK = {"ASAN_OPTIONS": "detect_leaks=0"}


class Server:
    """One server directory with the plug-in installed, and the stand-in server to run in it."""

    def __init__(self, directory, program=None, fresh=True):
        self.dir = Path(directory)
        self.program = Path(program or ARGS.server)
        plugin_dir = self.dir / "VelkorApi" / "Plugins" / "Tamsel"
        self.config_file = plugin_dir / "config.json"
        self.log = self.dir / "server.log"
        if fresh:
            shutil.rmtree(self.dir, ignore_errors=True)
            plugin_dir.mkdir(parents=True)
            shutil.copy(ARGS.plugin, plugin_dir)
            self.write_config('{"CpuThreads": ""}')

    def write_config(self, text):
        self.config_file.write_text(text + "\n", encoding="utf-8")

    def run(self, *arguments, env=None):
        """The server's exit code and output. A server that hangs fails within two minutes."""
        command = ([ARGS.emulator] if ARGS.emulator else []) + [str(self.program)]
        command += [str(argument) for argument in arguments]
        environment = dict(os.environ, **(env or {}))
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              env=environment, timeout=120)
        return done.returncode, done.stdout.decode("utf-8", "replace")

    def run_ok(self, *arguments, env=None):
        """Runs the server in its directory; its log then holds this run's lines only."""
        self.log.unlink(missing_ok=True)
        code, output = self.run("--dir", self.dir, *arguments, env=env)
        if code != 0:
            raise AssertionError(f"the server failed ({code}):\n{output}")
        return output

    def log_text(self):
        return self.log.read_text(encoding="utf-8", errors="replace")

    def summary(self, key):
        for line in (self.dir / "summary.txt").read_text(encoding="utf-8").splitlines():
            if line.startswith(key + "="):
                return line[len(key) + 1:]
        raise AssertionError(f"no {key} in summary.txt")

    def verify(self, save=None):
        return self.run("--verify", save or self.dir / "world.sav")


class ServerSmokeTest(unittest.TestCase):
    def server(self, name):
        return Server(Path(ARGS.work_dir) / name)

    def assertLogged(self, server, text):
        self.assertIn(text, server.log_text())

    def assertNotLogged(self, server, text):
        self.assertNotIn(text, server.log_text())

    def assertLogAgreesWithSummary(self, server):
        """Every save that started is logged as started, and as saved or failed; the final save,
        asked for after the report, is one more of each."""
        accepted = int(server.summary("saves_accepted"))
        completed = int(server.summary("saves_completed"))
        failed = int(server.summary("saves_failed"))
        if int(server.summary("final_request")) > 0:
            accepted += 1
        log = server.log_text()
        started = len(re.findall(r"\[Server\] ?\[info\] World save started", log))
        saved = len(re.findall(r"\[Server\] ?\[info\] World saved in", log))
        failed_lines = len(re.findall(r"\[Server\] ?\[error\] World save failed: ", log))
        self.assertEqual(started, accepted, log)
        self.assertEqual(saved + failed_lines, started, log)
        self.assertGreaterEqual(saved, completed, log)
        self.assertGreaterEqual(failed_lines, failed, log)

    def assertFinalSaveOnDisk(self, server):
        """The save on disk answers the final request, complete, though the server did not wait
        for it."""
        final = server.summary("final_request")
        code, output = server.verify()
        self.assertEqual(code, 0, output)
        self.assertRegex(output, rf"complete, written by save [0-9]+ for request {final}\n")

    def assertLastGoodSaveStays(self, server):
        code, output = server.verify()
        self.assertEqual(code, 0, f"the last good save was damaged: {output}")

    def test_overlapping_saves_are_refused_and_the_rest_kept(self):
        # Saves take about 400 ms (4 MiB at 100 ms each) and are asked for every 250 ms: the
        # plug-in runs them beside the loop and refuses the requests that come meanwhile.
        server = self.server("overlapping")
        server.write_config('{"CpuThreads": "0"}')
        server.run_ok("--saves", 4, "--save-interval", 0.25, "--world-mb", 4,
                      "--slow-disk-ms", 100, "--tick-rate", 50)
        for line in ("[Tamsel][info] CPU Affinity Enabled!", "[Tamsel][info] Using CPU Thread[0]!",
                     "[Tamsel][warning] World Already Saving!"):
            self.assertLogged(server, line)
        self.assertNotLogged(server, "[Tamsel][info] World saved in")
        self.assertEqual(server.summary("plugins_loaded"), "1")
        self.assertGreaterEqual(int(server.summary("saves_accepted")), 1)
        self.assertGreaterEqual(int(server.summary("saves_refused")), 1)
        for report in ("ticks.csv", "ticks.svg"):
            self.assertTrue((server.dir / report).exists(), f"no {report} was written")
        self.assertLogAgreesWithSummary(server)
        self.assertFinalSaveOnDisk(server)
        if ARGS.host_spdlog_0:
            # The host's spdlog line: the server's own lines keep the host's pattern.
            self.assertLogged(server, "] [Server] [info] Loaded plug-in Tamsel")

    def test_switches(self):
        server = self.server("switches")
        # With saves that do not overlap, every save asked for is run and measured, the last
        # one too; the plug-in reports each one's duration when asked to.
        server.write_config('{"CpuThreads": "", "LogSaveTimes": true}')
        server.run_ok("--saves", 3, "--save-interval", 0.4, "--world-mb", 2, "--tick-rate", 50)
        self.assertEqual(server.summary("saves_completed"), "3")
        saves_rows = (server.dir / "saves.csv").read_text(encoding="utf-8").splitlines()
        self.assertEqual(len(saves_rows), 4)
        reported = re.findall(r"\[Tamsel\]\[info\] World saved in [0-9]+\.[0-9]{3} s\.",
                              server.log_text())
        self.assertEqual(len(reported), 4)
        self.assertLogAgreesWithSummary(server)

        # A switch of the wrong type is refused with a warning; the plug-in works as before.
        server.write_config('{"CpuThreads": "0", "LogSaveTimes": "yes"}')
        server.run_ok("--saves", 2, "--save-interval", 0.3, "--world-mb", 2, "--tick-rate", 50)
        self.assertLogged(server,
                          '[Tamsel][warning] "LogSaveTimes" in config.json must be true or false')
        self.assertLogged(server, "[Tamsel][info] Using CPU Thread[0]!")
        self.assertNotLogged(server, "[Tamsel][info] World saved in")
        self.assertEqual(server.summary("saves_completed"), "2")

    def test_failing_and_crashing_saves_leave_the_last_good_one(self):
        server = self.server("failing")
        server.run_ok("--saves", 1, "--world-mb", 2, "--save-interval", 0.1)

        # A save that fails for real (its temporary file's name is taken by a directory) is
        # counted and logged with its reason; the server exits normally.
        (server.dir / "world.sav.tmp").mkdir()
        server.run_ok("--seconds", 1, "--save-interval", 0.3, "--world-mb", 2, "--tick-rate", 50)
        for line in ("[error] World save failed: cannot create ", "world.sav.tmp: ",
                     "[Tamsel][error] Error failed to save!"):
            self.assertLogged(server, line)
        self.assertGreaterEqual(int(server.summary("saves_failed")), 1)
        self.assertLogAgreesWithSummary(server)
        (server.dir / "world.sav.tmp").rmdir()
        self.assertLastGoodSaveStays(server)

        # A save that crashes is caught by the plug-in, which says what ended it.
        server.write_config('{"CpuThreads": "", "LogSaveFaults": true}')
        server.run_ok("--saves", 2, "--save-interval", 0.2, "--world-mb", 4, "--fail", "crash",
                      "--no-final-save", env=NO_LEAK_CHECK)
        for line in ("[Tamsel][error] Error failed to save!", "[Tamsel][error] Save fault: ",
                     "writing address 0x0 in dravik-server"):
            self.assertLogged(server, line)
        self.assertGreaterEqual(int(server.summary("saves_failed")), 1)
        self.assertLogAgreesWithSummary(server)
        self.assertFalse((server.dir / "world.sav.tmp").exists(),
                         "the crashed save's file was left behind at exit")
        self.assertLastGoodSaveStays(server)

    def test_the_final_save_is_on_disk_however_the_server_ends(self):
        # The server asks for its final save and ends at once: the plug-in holds the exit until
        # the save is done, and that save is the one on disk.
        server = self.server("exits")
        for how in ("return", "exit", "exit-process"):
            with self.subTest(how=how):
                server.run_ok("--saves", 1, "--save-interval", 0.1, "--world-mb", 4,
                              "--slow-disk-ms", 100, "--exit-with", how)
                self.assertLogged(server,
                                  "[Tamsel][info] Waiting for the running world save to finish")
                self.assertFinalSaveOnDisk(server)
        # The shutdown request comes while a periodic save runs (2 s of writing, asked for at
        # 0.5 s; the run ends at 1.05 s): the plug-in refuses it, and once that save has ended
        # at exit it runs the server's routine once more.
        for how in ("return", "exit"):
            with self.subTest(how=how, during_a_save=True):
                server.run_ok("--seconds", 1.05, "--save-interval", 0.5, "--world-mb", 4,
                              "--slow-disk-ms", 500, "--exit-with", how)
                self.assertLogged(server, "[Tamsel][info] Saving once more before exit: a save "
                                  "asked for during the last one was refused.")
                self.assertFinalSaveOnDisk(server)
        # Without the final save, the last periodic save is the one on disk. The interval is
        # ample: a request that came while the first save ran would be refused.
        server.run_ok("--saves", 2, "--save-interval", 2, "--world-mb", 1, "--no-final-save")
        self.assertIn("written by save 2 for request 2\n", server.verify()[1])

    def test_bad_input_and_full_disks_are_reported(self):
        server = self.server("refusals")
        # Reports that cannot be written are refused before the run starts.
        code, output = server.run("--dir", server.dir, "--seconds", 30, "--csv", server.dir)
        self.assertNotEqual(code, 0, output)
        self.assertIn("cannot write", output)
        self.assertNotIn("plug-ins", output, "the run started")
        code, output = server.run("--dir", server.dir, "--seconds", 30, "--svg",
                                  server.dir / "missing" / "ticks.svg")
        self.assertNotEqual(code, 0, output)
        self.assertIn("cannot write", output)
        # A disk that fills up during the reports: the run fails and says which file and why.
        if Path("/dev/full").exists() and not ARGS.emulator:
            code, output = server.run("--dir", server.dir, "--seconds", 0.5, "--world-mb", 1,
                                      "--csv", "/dev/full")
            self.assertNotEqual(code, 0, output)
            self.assertIn("cannot write /dev/full: No space left on device", output)
        # A complete save that cannot take the old one's place is kept, and the failure says
        # where.
        (server.dir / "world.sav").unlink(missing_ok=True)
        (server.dir / "world.sav").mkdir()
        server.run_ok("--saves", 1, "--world-mb", 1, "--save-interval", 0.1, "--no-plugins")
        self.assertLogged(server, "the complete save was left in ")
        code, output = server.verify(server.dir / "world.sav.tmp")
        self.assertEqual(code, 0, f"the complete save was not kept: {output}")
        # Bad options are refused with a message, never a crash.
        code, output = server.run("--world-mb", "lots")
        self.assertEqual(code, 2, output)
        self.assertIn("--world-mb takes a number", output)
        code, output = server.run("--dir", server.dir / "missing")
        self.assertEqual(code, 2, output)
        self.assertIn("does not exist", output)

    def test_server_folders_in_any_script_and_of_any_length(self):
        # The plug-in loads, or a line says why not; a crashing save in a server whose program
        # lies in the long path still names the program in its fault report.
        base = Path(ARGS.work_dir) / "folders"
        shutil.rmtree(base, ignore_errors=True)
        for folder in ("wé ☃ 漢字", "long-" + "a" * 235):
            with self.subTest(folder=folder[:12]):
                server = Server(base / folder)
                server.run_ok("--saves", 1, "--world-mb", 1, "--save-interval", 0.1)
                self.assertTrue((server.dir / "world.sav").exists())
                self.assertRegex(server.log_text(),
                                 "Loaded plug-in Tamsel|Plug-in Tamsel failed to load: ")
        program = Path(ARGS.server)
        shutil.copy(program, server.dir)
        # Windows: the host loader and the runtime DLLs the tests chose, found beside the program
        for library in ("version.dll", "vcruntime140.dll", "msvcp140.dll"):
            if (program.parent / library).exists():
                shutil.copy(program.parent / library, server.dir)
        copied = Server(server.dir, program=server.dir / program.name, fresh=False)
        copied.write_config('{"CpuThreads": "", "LogSaveFaults": true}')
        copied.run_ok("--saves", 1, "--world-mb", 1, "--save-interval", 0.1, "--fail", "crash",
                      "--no-final-save", env=NO_LEAK_CHECK)
        self.assertLogged(copied, f"writing address 0x0 in {program.name}+0x")

    def test_a_crash_leads_to_the_line_with_the_symbols_archive_alone(self):
        # As a server's maintainer would: the plug-in's frames of a logged stack resolved with
        # the README's command, and the crash dump read by lldb, with nothing but what the
        # symbols archive holds (Tamsel.dll and Tamsel.pdb) and the server's own program.
        plugin = Path(ARGS.plugin)
        if plugin.suffix != ".dll":
            self.skipTest("crash dumps and PDBs are the Windows build's")
        server = self.server("crash-evidence")
        shutil.copy(plugin.parent / "TamselDumpWriter.exe", server.config_file.parent)
        server.write_config('{"CpuThreads": "", "LogSaveFaults": true, "CrashDumps": 1}')
        server.run_ok("--saves", 1, "--world-mb", 1, "--save-interval", 0.1, "--fail", "crash",
                      "--no-final-save")
        symbols = server.dir / "symbols"
        symbols.mkdir()
        for name in ("Tamsel.dll", "Tamsel.pdb"):
            shutil.copy(plugin.parent / name, symbols)
        for program in (Path(ARGS.server), Path(ARGS.server).with_suffix(".pdb")):
            shutil.copy(program, symbols)

        stack = re.search(r"\[Tamsel\]\[error\] Save fault: .*; stack: (.*)", server.log_text())
        self.assertIsNotNone(stack, server.log_text())
        frames = stack.group(1).split(", ")
        ours = [(index, int(frame.split("+")[1], 16)) for index, frame in enumerate(frames)
                if frame.startswith("Tamsel.dll+0x")]
        self.assertTrue(ours, frames)
        names = []
        for index, offset in ours:
            # Every frame but the first is a return address: the call is the byte before.
            address = hex(offset - 1 if index > 0 else offset)
            resolved = subprocess.run(
                [ARGS.symbolizer, "--obj=Tamsel.dll", "--relative-address", address],
                cwd=symbols, stdout=subprocess.PIPE, check=True, text=True).stdout
            self.assertRegex(resolved, r"^[A-Za-z_][^\n]*\n[^\n]*\.cpp:[1-9][0-9]*:",
                             f"Tamsel.dll+{address}")
            names.append(resolved)
        self.assertIn("RunGuarded", "".join(names))

        if not ARGS.lldb:
            return  # the dumps of the DLL that ships are read on its own build
        dumps = list((server.dir / "VelkorApi" / "Plugins" / "Tamsel" / "crashes").glob("*.dmp"))
        self.assertEqual(len(dumps), 1, server.log_text())
        read = subprocess.run(
            [ARGS.lldb, "--batch", "-o", f"settings set target.exec-search-paths {symbols}",
             "-o", f"target create --core {dumps[0]}", "-o", "thread list", "-o", "bt"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, timeout=120).stdout
        # The crashed thread is the selected one, stopped by the access violation, and its
        # stack runs from the server's routine into the plug-in's guard, named.
        self.assertRegex(read, r"\* thread #[0-9]+: .* stop reason = Exception 0xc0000005", read)
        backtrace = read[read.rindex("(lldb) bt"):]
        self.assertRegex(backtrace, r"frame #0: 0x[0-9a-f]+ " + re.escape(Path(ARGS.server).name)
                         + r"`\S*RaiseNullWrite", read)
        self.assertRegex(backtrace, r"frame #[0-9]+: 0x[0-9a-f]+ Tamsel\.dll`\S*RunGuarded", read)


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--emulator", default="")
    parser.add_argument("--host-spdlog-0", action="store_true")
    parser.add_argument("--symbolizer", default="llvm-symbolizer")
    parser.add_argument("--lldb", default="")
    parser.add_argument("--shard", default="0/1",
                        help="I/N: only every Nth test from the Ith (by name), so that N runs "
                             "share the tests")
    ARGS, rest = parser.parse_known_args()
    # CMake passes an option it leaves out as an empty argument.
    rest = [argument for argument in rest if argument]
    if rest:
        unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
    index, count = (int(part) for part in ARGS.shard.split("/"))
    names = unittest.TestLoader().getTestCaseNames(ServerSmokeTest)
    suite = unittest.TestSuite(ServerSmokeTest(name) for name in names[index::count])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)


if __name__ == "__main__":
    main()
