"""VelmoMon.exe on a real PC/SC stack, driven from Linux.

One Session owns everything a run needs and ends all of it in stop(): a
private pcscd with two vpcd reader slots and the bridge helper
(scripts/pcsc-stack), virtual cards on those slots, a Wine prefix with its
own Xvfb (scripts/wine-run), and VelmoMon.exe running in a folder of its own
beside the bridge winscard.dll. The store is read with store-list.exe, the
tray menu driven with tray-control.exe; the program under test is never
asked what it did.

The end-to-end tests and scripts/benchmark use it. Paths come from the
environment: VELMO_SOURCE_DIR, VELMO_HOST_TOOLS (the host build's tools),
VELMO_WINDOWS_BUILD (the windows-x86 build where this host executes 32-bit
code, else the windows-x64 build).
"""

import os
import re
import queue
import shutil
import signal
import subprocess
import threading
import time

# Seconds: every wait for VelmoMon (its window, its answer, "MY" after a card
# came or went, its end) ends after this. Generous, since a passing run never
# waits it out, and the first program of a new Wine session on a busy machine
# starts only once wineserver, Wine's services and the desktop are up.
WAIT_LIMIT = 120.0
# Seconds a Windows tool may take beyond its own wait, for Wine to start it.
WINE_START_LIMIT = 60.0
# Lines of VelmoMon's Wine output that a failed test shows.
WINE_LOG_TAIL = 40
PROVIDER = "VelmoCSP"


def wait_until(condition, limit=WAIT_LIMIT, step=0.05):
    """Polls condition() until it answers something true; answers the last value."""
    end = time.monotonic() + limit
    while True:
        value = condition()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


class VirtualCard:
    """velmo-virtual-card on one reader slot, driven through its standard input."""

    def __init__(self, session, port, image, options=()):
        program = os.path.join(session.host_tools, "virtual-card", "velmo-virtual-card")
        self.process = subprocess.Popen(
            [program, "--port", str(port), "--image", image] + list(options),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            text=True, bufsize=1)
        session.adopt("card-%d" % self.process.pid, self.process.pid)
        self.answers = queue.Queue()
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            line = line.rstrip("\n")
            (self.events if line.startswith("event") else self.answers).put(line)
        self.answers.put("error the card program ended")

    def command(self, line, limit=20.0):
        """Sends one command line; answers the card's "ok ..." or "error ..." line."""
        try:
            self.process.stdin.write(line + "\n")
            self.process.stdin.flush()
            return self.answers.get(timeout=limit)
        except (OSError, queue.Empty):
            return "error no answer"

    def insert(self):
        answer = self.command("insert")
        if not answer.startswith("ok"):
            raise RuntimeError("the virtual card was not inserted: " + answer)

    def remove(self):
        self.command("remove")

    def wait_for_event(self, prefix, limit=WAIT_LIMIT):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            try:
                event = self.events.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                break
            if event.startswith(prefix):
                return event
        return None

    def counters(self):
        """What the card was asked since its last insertion: commands,
        bytes-in, bytes-out, first (Unix milliseconds the first command
        arrived), last (the last answer left) and card-us (what a real T=0
        card needs for the same exchanges, in microseconds)."""
        words = self.command("counters").split()
        if not words or words[0] != "ok":
            return {}
        return {words[i]: int(words[i + 1]) for i in range(1, len(words) - 1, 2)}

    def commands(self):
        return self.counters().get("commands", -1)

    def apdus(self):
        """The command APDUs since its last insertion, in hexadecimal."""
        words = self.command("apdus").split()
        return words[1:] if words and words[0] == "ok" else []

    def quit(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write("quit\n")
                self.process.stdin.flush()
                self.process.stdin.close()
            except OSError:
                pass
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def default_windows_build(root):
    """The 32-bit build where this host runs it, else the 64-bit one."""
    archs = subprocess.run([os.path.join(root, "scripts", "windows-archs")], stdout=subprocess.PIPE,
                           text=True, check=True).stdout.split("\n")[0].split()
    return os.path.join(root, "build", "windows-x86" if "x86" in archs else "windows-x64")


def is_64_bit(program):
    """Whether a PE file's header names the x64 machine."""
    try:
        with open(program, "rb") as image:
            header = image.read(4096)
    except OSError:
        return False
    if len(header) < 64:
        return False
    offset = int.from_bytes(header[60:64], "little")
    return header[offset + 4:offset + 6] == b"\x64\x86"


POLICY_KEY = r"HKLM\Software\Policies\Velmo\VelmoMon"
# Wine keeps no event log: ReportEventW names the event on the advapi
# channel, then prints each insertion string on the eventlog channel.
EVENT_CALL = re.compile(r"fixme:advapi:ReportEventW \([^,]*,0x([0-9a-f]+),0x[0-9a-f]+,0x([0-9a-f]+),[^,]*,0x([0-9a-f]+),")
EVENT_STRING = re.compile(r'(?:trace|warn|err):eventlog:ReportEventW L"(.*)"$')


def read_events(path):
    """The events a program wrote to Wine's channels in its output file:
    (event ID, type, insertion strings), in order; one still being written
    is left out."""
    try:
        with open(path, errors="replace") as output:
            lines = output.read().splitlines()
    except FileNotFoundError:
        return []
    events = []
    for line in lines:
        call = EVENT_CALL.search(line)
        if call:
            events.append((int(call.group(2), 16) & 0xFFFF, int(call.group(1), 16), [], int(call.group(3), 16)))
            continue
        string = EVENT_STRING.search(line)
        if string and events:
            events[-1][2].append(string.group(1))
    return [event[:3] for event in events if len(event[2]) == event[3]]


class Session:
    """A private PC/SC stack, a Wine prefix and VelmoMon.exe, for one run."""

    def __init__(self, run_dir, prefix):
        self.root = os.environ.get("VELMO_SOURCE_DIR") or os.path.dirname(
            os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.host_tools = os.environ.get("VELMO_HOST_TOOLS") or os.path.join(self.root, "build/host/tools")
        self.windows_build = os.environ.get("VELMO_WINDOWS_BUILD") or default_windows_build(self.root)
        self.run = os.path.abspath(run_dir)
        self.prefix = os.path.abspath(prefix)
        self.app = os.path.join(self.run, "app")
        self.wine_log = os.path.join(self.run, "velmomon-wine.log")
        self.stack = {}
        self.cards = []
        self.velmomon = None

    # --- the stack -------------------------------------------------------

    def _stack_command(self, *arguments):
        environment = dict(os.environ, VELMO_HOST_TOOLS=self.host_tools)
        return subprocess.run([os.path.join(self.root, "scripts/pcsc-stack")] + list(arguments),
                              env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=60)

    def start(self):
        """Starts the stack, with a run folder made afresh; raises when it cannot."""
        if os.path.isdir(self.run):
            self._stack_command("stop", self.run)  # what a killed run left behind
            shutil.rmtree(self.run)
        os.makedirs(self.app)
        result = self._stack_command("start", self.run)
        if result.returncode != 0:
            raise RuntimeError("the PC/SC stack did not start:\n" + result.stdout)
        with open(os.path.join(self.run, "env")) as lines:
            for line in lines:
                name, _, value = line.strip()[len("export "):].partition("=")
                self.stack[name] = value.strip("'")
        for name in ("VelmoMon.exe", "tools/pcsc-bridge/winscard.dll"):
            shutil.copy(os.path.join(self.windows_build, name), self.app)

    def stop_pcscd(self):
        """Ends the stack's pcscd, as when the smart-card service stops."""
        result = self._stack_command("pcscd-stop", self.run)
        if result.returncode != 0:
            raise RuntimeError("pcscd did not stop:\n" + result.stdout)

    def start_pcscd(self):
        """Starts pcscd again with the same readers; old contexts stay dead."""
        result = self._stack_command("pcscd-start", self.run)
        if result.returncode != 0:
            raise RuntimeError("pcscd did not start again:\n" + result.stdout)

    def adopt(self, name, pid):
        self._stack_command("adopt", self.run, name, str(pid))

    def port(self, slot):
        return int(self.stack["VELMO_VPCD_PORT%d" % slot])

    def stop(self):
        """Ends VelmoMon, the cards, Wine and the stack, whatever state they are in."""
        if self.velmomon and self.velmomon.poll() is None:
            subprocess.run(["wineserver", "-k"], env=self.wine_environment(), timeout=30,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self.velmomon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(self.velmomon.pid, signal.SIGKILL)
                self.velmomon.wait()
        for card in self.cards:
            card.quit()
        self.cards = []
        subprocess.run([os.path.join(self.root, "scripts/wine-stop"), self.prefix], timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if os.path.isdir(self.run):
            self._stack_command("stop", self.run)

    # --- cards -----------------------------------------------------------

    def make_card(self, name, *options, atr=None):
        """Writes a card image with velmo-make-card; `atr` replaces its ATR."""
        path = os.path.join(self.run, name + ".card")
        program = os.path.join(self.host_tools, "virtual-card", "velmo-make-card")
        subprocess.run([program] + list(options) + [path], check=True, timeout=30)
        if atr:
            with open(path) as image:
                lines = image.read().splitlines()
            lines = ["atr " + atr if line.startswith("atr ") else line for line in lines]
            with open(path, "w") as image:
                image.write("\n".join(lines) + "\n")
        return path

    def card(self, slot, image, *options):
        """A virtual card on a reader slot; `options` go to velmo-virtual-card."""
        card = VirtualCard(self, self.port(slot), image, options)
        self.cards.append(card)
        return card

    # --- Wine and the programs in it ---------------------------------------

    def wine_environment(self):
        environment = dict(os.environ)
        environment.update(self.stack)
        environment["WINEPREFIX"] = self.prefix
        # The prefix has the architecture of the build, whatever program
        # makes it; for the 64-bit build "wine" is the 64-bit loader, as in
        # scripts/wine-run.
        if is_64_bit(os.path.join(self.windows_build, "VelmoMon.exe")):
            environment["WINEARCH"] = "win64"
            environment["PATH"] = os.path.join(self.root, "scripts", "wine64") + os.pathsep + environment["PATH"]
        else:
            environment["WINEARCH"] = "win32"
        return environment

    def wine(self, program, *arguments, limit=120):
        """Runs a Windows program to its end; answers (exit code, output)."""
        try:
            result = subprocess.run([os.path.join(self.root, "scripts/wine-run"), program] + list(arguments),
                                    env=self.wine_environment(), stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, text=True, timeout=limit)
        except subprocess.TimeoutExpired:
            return None, "timed out"
        return result.returncode, result.stdout

    def is_64_bit(self):
        return is_64_bit(os.path.join(self.windows_build, "VelmoMon.exe"))

    def tool(self, name):
        return os.path.join(self.windows_build, "tools", name)

    def start_velmomon(self, events=False):
        """Starts VelmoMon.exe and waits until its window answers. Wine's
        errors go to the run folder's velmomon-wine.log (see describe()),
        with `events` its eventlog channel too (see read_events())."""
        debug = "err+all,+eventlog" if events else "err+all"
        environment = dict(self.wine_environment(), WINEDEBUG=debug, VELMO_WINE_LOG=self.wine_log)
        with open(self.wine_log, "a") as log:
            log.write("--- VelmoMon.exe started at %s\n" % time.strftime("%H:%M:%S"))
        started = time.monotonic()
        self.velmomon = subprocess.Popen(
            [os.path.join(self.root, "scripts/wine-run"), os.path.join(self.app, "VelmoMon.exe")],
            env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        self.adopt("velmomon", self.velmomon.pid)
        ping = subprocess.Popen(
            [os.path.join(self.root, "scripts/wine-run"), self.tool("tray-control.exe"), "--wait", "%d" % WAIT_LIMIT,
             "ping"], env=self.wine_environment(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            start_new_session=True)
        # A VelmoMon that ended will never answer: the wait ends with it.
        end = started + WAIT_LIMIT + WINE_START_LIMIT
        while ping.poll() is None and self.velmomon.poll() is None and time.monotonic() < end:
            time.sleep(0.1)
        if ping.poll() is None:
            os.killpg(ping.pid, signal.SIGKILL)
        output = ping.communicate()[0].strip()
        waited = time.monotonic() - started
        if ping.returncode != 0 and self.velmomon.poll() is not None:
            raise RuntimeError("VelmoMon ended %.1f s after its start, before it answered (exit status %d)"
                               % (waited, self.velmomon.returncode))
        if ping.returncode != 0:
            raise RuntimeError("VelmoMon did not come up within %.0f s: %s" % (waited, output))
        print("VelmoMon answered %.1f s after its start" % waited, flush=True)

    def tray(self, *arguments, limit=WAIT_LIMIT):
        """Runs tray-control, whose own waits end after `limit` seconds."""
        return self.wine(self.tool("tray-control.exe"), "--wait", "%d" % limit, *arguments,
                         limit=limit + WINE_START_LIMIT)

    def velmomon_running(self):
        return self.velmomon is not None and self.velmomon.poll() is None

    def close_velmomon(self):
        """Chooses "Cerrar VelmoMon"; answers VelmoMon's exit code, None if it did not end."""
        self.tray("close")
        try:
            return self.velmomon.wait(timeout=WAIT_LIMIT)
        except subprocess.TimeoutExpired:
            return None

    def describe(self):
        """What a person needs to see why a test failed: whether VelmoMon
        still ran or how it ended, the tail of its Wine output and "MY"."""
        lines = []
        if self.velmomon is None:
            lines.append("VelmoMon was never started")
        elif self.velmomon.poll() is None:
            pid = self.velmomon_pid()
            lines.append("VelmoMon.exe is still running (pid %d)" % pid if pid else
                         "VelmoMon.exe has no process in the prefix, yet Wine has not returned")
        else:
            lines.append("VelmoMon has ended: exit status %d (its Windows exit code's low 8 bits, 255 for -1)"
                         % self.velmomon.returncode)
        try:
            with open(self.wine_log, errors="replace") as log:
                tail = log.read().splitlines()[-WINE_LOG_TAIL:]
            lines.append("last %d lines of its Wine output (%s, WINEDEBUG=err+all):" % (len(tail), self.wine_log))
            lines += ["  " + line for line in tail]
        except OSError as error:
            lines.append("no Wine output: %s" % error)
        try:
            rows = self.store()
            lines.append('"MY" holds %d certificates%s' % (len(rows), ":" if rows else ""))
            lines += ["  " + "  ".join(str(field) for field in row) for row in rows]
        except RuntimeError as error:
            lines.append('"MY" could not be read: %s' % error)
        lines.append("pcscd's and the bridge helper's logs: %s" % " ".join(
            os.path.join(self.run, name) for name in ("pcscd.log", "bridge.log")))
        return "\n".join(lines)

    def forget_wine_log(self):
        """A passing test keeps no Wine output."""
        if os.path.exists(self.wine_log):
            os.remove(self.wine_log)

    def kill_velmomon(self):
        """Ends VelmoMon.exe at once, as a crash or a power loss would."""
        pid = self.velmomon_pid()
        if pid is not None:
            os.kill(pid, signal.SIGKILL)
        self.velmomon.wait(timeout=WAIT_LIMIT)

    def velmomon_pid(self):
        """The Linux process that runs VelmoMon.exe in this prefix."""
        return self.windows_pid("VelmoMon.exe")

    def windows_pid(self, name):
        """The Linux process that runs the Windows program `name` in this prefix."""
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % entry, "rb") as text:
                    program = text.read().split(b"\0")[0]
                # Wine names the process after the Windows program; the
                # script that started it has the name in its arguments only.
                if not program.endswith(name.encode()):
                    continue
                with open("/proc/%s/environ" % entry, "rb") as text:
                    if ("WINEPREFIX=" + self.prefix).encode() in text.read().split(b"\0"):
                        return int(entry)
            except OSError:
                continue
        return None

    def resident_kib(self):
        pid = self.velmomon_pid()
        if pid is None:
            return None
        with open("/proc/%d/status" % pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return None

    def cpu_ticks(self):
        """VelmoMon's user and system time so far, in clock ticks."""
        pid = self.velmomon_pid()
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rpartition(") ")[2].split()
        return int(fields[11]) + int(fields[12])

    # --- the "MY" store ----------------------------------------------------

    def store(self):
        """The "MY" store's rows: (subject, thumbprint, provider, container, key spec)."""
        code, output = self.wine(self.tool("store-list.exe"), "--tsv", limit=WINE_START_LIMIT)
        if code not in (0, None) and not output:
            # The reader ended without a word (seen once under wine64 on a
            # loaded machine, while VelmoMon rewrote "MY"): asked once more.
            # A reader that says why it failed is never asked again.
            code, output = self.wine(self.tool("store-list.exe"), "--tsv", limit=WINE_START_LIMIT)
        if code != 0:
            raise RuntimeError("store-list failed (exit code %s): %s" % (code, output))
        rows = []
        for line in output.splitlines():
            fields = line.split("\t")
            if len(fields) == 5:
                rows.append((fields[0], fields[1], fields[2], fields[3], int(fields[4])))
        return sorted(rows)

    def set_event_policy(self, on):
        """Sets or deletes the policy value that turns VelmoMon's events on."""
        if on:
            self.wine("reg", "add", POLICY_KEY, "/v", "EventLog", "/t", "REG_DWORD", "/d", "1", "/f")
        else:
            self.wine("reg", "delete", POLICY_KEY, "/f")

    def clear_personal_store(self):
        """Deletes every certificate of "MY", as a fresh prefix has none."""
        self.wine("reg", "delete", r"HKCU\Software\Microsoft\SystemCertificates\My", "/f")

    def card_rows(self, serial, rows=None):
        """The rows bound to the provider with a container named after `serial`."""
        rows = self.store() if rows is None else rows
        return [row for row in rows if row[2] == PROVIDER and row[3].startswith(serial)]

    def wait_for_store(self, settled, limit=WAIT_LIMIT):
        """Waits until settled(rows of "MY") is true; answers the rows seen last."""
        seen = []

        def check():
            seen[:] = self.store()
            return settled(seen)
        wait_until(check, limit, step=0.0)
        return list(seen)

    def wait_for_rows(self, serial, count, limit=WAIT_LIMIT):
        """Waits until exactly `count` rows belong to the card; answers the rows seen last."""
        seen = []

        def settled():
            seen[:] = self.card_rows(serial)
            return len(seen) == count
        wait_until(settled, limit, step=0.0)
        return list(seen)
