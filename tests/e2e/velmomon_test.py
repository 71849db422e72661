"""VelmoMon.exe end to end: under Wine with the bridge winscard.dll, on a
private pcscd with vpcd and virtual cards, with Wine's own "MY" store read
by store-list.exe. Each test starts and stops its own stack and program and
ends the program through "Cerrar VelmoMon", which must give exit code 0.
One test kills the program on the way, as a crash or a power loss would.

    usage: velmomon_test.py RUNDIR PREFIX [unittest arguments, e.g. a test name]
RUNDIR is made afresh for each test.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from velmo_stack import PROVIDER, Session, read_events  # noqa: E402

RUN_DIR = PREFIX = None

ATR21_SERIAL = "001A2B3C4D5E"
SIGNATURE, EXCHANGE = 2, 1


class VelmoMonTest(unittest.TestCase):
    def setUp(self):
        # Kept short: pcscd's socket lies in it, and socket paths are short.
        self.session = Session(RUN_DIR, PREFIX)
        self.addCleanup(self.session.stop)
        self.addCleanup(self.reportIfFailed)  # before the stop: VelmoMon as the failure left it
        self.session.start()
        # The prefix is shared by the tests of one run: each begins with an
        # empty "MY", whatever the one before left in it.
        self.session.clear_personal_store()
        self.assertEqual(self.session.store(), [])

    def reportIfFailed(self):
        # The run's result, since a cleanup sees a success flag of its own.
        result = self._outcome.result
        if not any(self in (test, getattr(test, "test_case", None)) for test, _ in result.errors + result.failures):
            self.session.forget_wine_log()
            return
        print("\n--- %s failed; what VelmoMon left:\n%s" % (self.id(), self.session.describe()), flush=True)

    def start(self, events=False):
        self.session.start_velmomon(events)

    def assertEndsCleanly(self):
        self.assertTrue(self.session.velmomon_running(), "VelmoMon ended on its own")
        self.assertEqual(self.session.close_velmomon(), 0)

    def assertRegistered(self, serial, key_specs):
        rows = self.session.wait_for_rows(serial, len(key_specs))
        self.assertEqual(sorted(row[4] for row in rows), sorted(key_specs), rows)
        return rows

    def assertRemoved(self, serial):
        self.assertEqual(self.session.wait_for_rows(serial, 0), [])


class Registration(VelmoMonTest):
    def test_card_present_at_start_up_is_registered(self):
        card = self.session.card(0, self.session.make_card("demo"))
        card.insert()
        self.start()
        rows = self.assertRegistered(ATR21_SERIAL, [SIGNATURE, EXCHANGE])
        for row in rows:
            self.assertRegex(row[3], "^" + ATR21_SERIAL + "[0-9A-F]{6}")
        # The certificate without a key on the card is there, bound to nothing.
        store = self.session.store()
        self.assertIn("Velmo Test Root CA", [row[0] for row in store])
        self.assertEqual([row for row in store if row[0] == "Velmo Test Root CA"][0][2:], ("", "", -1))
        self.assertEndsCleanly()

    def test_both_card_kinds_are_registered_and_removed(self):
        self.start()
        atr21 = self.session.card(0, self.session.make_card("atr21", "--certificates", "sign,enc"))
        atr20 = self.session.card(1, self.session.make_card(
            "atr20", "--family", "atr20", "--serial", "ABCDEF01234567", "--long-headers",
            "--certificates", "sign,enc"))
        for card, serial in ((atr21, ATR21_SERIAL), (atr20, "ABCDEF01234567")):
            with self.subTest(serial=serial):
                card.insert()
                rows = self.assertRegistered(serial, [SIGNATURE, EXCHANGE])
                for row in rows:
                    self.assertEqual(row[2], PROVIDER)
                    self.assertRegex(row[3], "^" + serial)
                card.remove()
                self.assertRemoved(serial)
        self.assertEqual(self.session.store(), [])
        self.assertEndsCleanly()

    def test_pulling_one_of_two_cards_with_alike_serials_keeps_the_other(self):
        first, second = "0123456789AB01", "0123456789AB02"
        self.start()
        card0 = self.session.card(0, self.session.make_card(
            "first", "--family", "atr20", "--serial", first, "--certificates", "sign", "--keys", "sign"))
        card1 = self.session.card(1, self.session.make_card(
            "second", "--family", "atr20", "--serial", second, "--certificates", "enc", "--keys", "enc"))
        card0.insert()
        card1.insert()
        self.assertRegistered(first, [SIGNATURE])
        kept = self.assertRegistered(second, [EXCHANGE])
        card0.remove()
        self.assertRemoved(first)
        self.assertEqual(self.session.card_rows(second), kept)
        card1.remove()
        self.assertRemoved(second)
        self.assertEndsCleanly()

    def test_card_of_another_family_is_ignored(self):
        self.start()
        # The family's ATR with one historical byte changed.
        foreign = self.session.card(1, self.session.make_card(
            "foreign", atr="3BEF00004014802556454C4E4F00000000000000FF"))
        foreign.insert()
        # Once the family card beside it is registered, the monitor has
        # seen the foreign card in at least one cycle.
        family = self.session.card(0, self.session.make_card("family", "--certificates", "sign"))
        family.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        self.assertEqual(foreign.commands(), 0)
        self.assertEqual(len(self.session.store()), 1)
        self.assertEndsCleanly()


class PulledCards(VelmoMonTest):
    def test_card_pulled_during_registration_leaves_nothing_and_works_next_time(self):
        self.start()
        # The signing certificate comes first on the demo card: a card with
        # it alone sends the same commands up to the end of its reading.
        probe = self.session.card(1, self.session.make_card("sign-only", "--certificates", "sign"))
        probe.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        # The walk ends with the selection and the refused read of the CDF's
        # next entry: master file, application, CDF, header.
        signing_read = probe.commands() - 4
        probe.remove()
        self.assertRemoved(ATR21_SERIAL)
        card = self.session.card(0, self.session.make_card("demo"))
        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE, EXCHANGE])
        full_read = card.commands()
        card.remove()
        self.assertRemoved(ATR21_SERIAL)
        self.assertGreater(full_read, 20)
        # Before the serial, in the directory, in the signing certificate's
        # key lookup (at the PrKDF's selection, at its key's entry, at the
        # chip information), in the middle and in the last certificate.
        for answered in (0, 2, 10, signing_read - 4, signing_read - 2, signing_read - 1,
                         full_read // 2, full_read - 2):
            with self.subTest(answered=answered):
                # Out, whatever a failed case before left.
                card.remove()
                self.assertRemoved(ATR21_SERIAL)
                # What the card leaves must be what "MY" held before it came,
                # every row, bound or not: here the CA certificate, unbound.
                before = self.session.store()
                self.assertTrue(card.command("fail-after %d" % answered).startswith("ok"))
                card.insert()
                self.assertIsNotNone(card.wait_for_event("event pulled after %d " % answered))
                # The monitor polls once a second; a card back before it saw
                # the pull would count as never having left.
                time.sleep(2.5)
                self.assertRemoved(ATR21_SERIAL)
                self.assertEqual(self.session.store(), before)
                self.assertEqual(self.session.tray("ping")[0], 0, "VelmoMon does not answer")
                card.insert()
                rows = self.assertRegistered(ATR21_SERIAL, [SIGNATURE, EXCHANGE])
                self.assertEqual(self.session.store(), sorted(before + rows))
                card.remove()
                self.assertRemoved(ATR21_SERIAL)
        self.assertEndsCleanly()


class Restart(VelmoMonTest):
    def test_card_taken_out_while_velmomon_was_down_leaves_my_as_before(self):
        before = self.session.store()
        card = self.session.card(0, self.session.make_card("restart", "--certificates", "sign,enc"))
        self.start()
        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE, EXCHANGE])
        self.session.kill_velmomon()
        card.remove()
        self.start()
        self.assertRemoved(ATR21_SERIAL)
        self.assertEqual(self.session.store(), before)


class ServiceRestart(VelmoMonTest):
    def test_pcscd_stopped_and_started_again_then_cards_are_seen(self):
        self.start()
        card = self.session.card(0, self.session.make_card("demo", "--certificates", "sign", "--keys", "sign"))
        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        self.session.stop_pcscd()
        # The virtual card leaves with pcscd's reader driver.
        self.assertIsNotNone(card.wait_for_event("event removed"))
        time.sleep(3)  # some cycles of the monitor without the service
        self.session.start_pcscd()
        self.assertRemoved(ATR21_SERIAL)
        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        other = self.session.card(1, self.session.make_card(
            "other", "--family", "atr20", "--serial", "ABCDEF01234567", "--certificates", "enc",
            "--keys", "enc"))
        other.insert()
        self.assertRegistered("ABCDEF01234567", [EXCHANGE])
        card.remove()
        self.assertRemoved(ATR21_SERIAL)
        self.assertEndsCleanly()

    def test_card_taken_out_while_pcscd_stays_stopped_loses_its_certificates(self):
        # Without the service no key of the card can be reached: its
        # certificates go within seconds, while pcscd is still down.
        self.start()
        card = self.session.card(0, self.session.make_card("demo", "--certificates", "sign", "--keys", "sign"))
        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        self.session.stop_pcscd()
        self.assertIsNotNone(card.wait_for_event("event removed"))
        stopped = time.monotonic()
        self.assertEqual(self.session.wait_for_rows(ATR21_SERIAL, 0, limit=15), [])
        self.assertLess(time.monotonic() - stopped, 15)
        self.session.start_pcscd()
        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        self.assertEndsCleanly()

    def test_velmomon_started_before_pcscd_waits_for_it(self):
        # Log-on before the smart-card service: VelmoMon stays and waits.
        self.session.stop_pcscd()
        self.start()
        time.sleep(3)  # some cycles of the monitor without the service
        self.assertTrue(self.session.velmomon_running(), "VelmoMon ended without the service")
        self.session.start_pcscd()
        card = self.session.card(0, self.session.make_card("demo", "--certificates", "sign", "--keys", "sign"))
        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        # The service stops with the card in, the card is taken out
        # meanwhile, and the service comes back.
        self.session.stop_pcscd()
        self.assertIsNotNone(card.wait_for_event("event removed"))
        self.session.start_pcscd()
        self.assertRemoved(ATR21_SERIAL)
        self.assertEndsCleanly()


class EventLog(VelmoMonTest):
    STARTED, REGISTERED, REMOVED, NOT_READ_WHOLE, CLEANED, LEFT_OUT = 100, 101, 102, 103, 105, 112
    INFORMATION, WARNING = 4, 2

    def start_logging(self):
        self.output = self.session.wine_log
        self.start(events=True)

    def turn_events_on(self):
        self.session.set_event_policy(True)
        self.addCleanup(self.session.set_event_policy, False)

    def wait_for_events(self, event_id, count=1, limit=30):
        """The events of one ID, once there are `count` of them."""
        end = time.monotonic() + limit
        while True:
            found = [strings for (ident, _, strings) in read_events(self.output) if ident == event_id]
            if len(found) >= count or time.monotonic() > end:
                return found
            time.sleep(0.25)

    def test_nothing_is_written_without_the_policy_value(self):
        self.session.set_event_policy(False)
        self.start_logging()
        card = self.session.card(0, self.session.make_card("quiet", "--certificates", "sign"))
        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        card.remove()
        self.assertRemoved(ATR21_SERIAL)
        self.assertEndsCleanly()
        with open(self.output, errors="replace") as output:
            text = output.read()
        self.assertNotIn("EventSource", text)
        self.assertNotIn("ReportEvent", text)

    def test_card_sessions_and_the_start_up_cleanup_are_told(self):
        self.turn_events_on()
        card = self.session.card(0, self.session.make_card("told", "--certificates", "sign,enc"))
        self.start_logging()
        self.assertEqual(self.wait_for_events(self.STARTED)[0][1:], ["x64" if self.session.is_64_bit() else "x86", "2"])
        card.insert()
        thumbprints = sorted(row[1] for row in self.assertRegistered(ATR21_SERIAL, [SIGNATURE, EXCHANGE]))
        registered = self.wait_for_events(self.REGISTERED)
        self.assertEqual(len(registered), 1, registered)
        reader, serial, added, bound, milliseconds, named = registered[0]
        self.assertEqual((serial, added, bound), (ATR21_SERIAL, "2", "2"))
        self.assertLess(int(milliseconds), 30000)
        self.assertEqual(sorted(named.split()), thumbprints)
        # Killed with the card in: the next start deletes its certificates.
        self.session.kill_velmomon()
        card.remove()
        self.start_logging()
        self.assertRemoved(ATR21_SERIAL)
        cleaned = self.wait_for_events(self.CLEANED)
        self.assertEqual([(count, sorted(listed.split())) for count, listed in cleaned], [("2", thumbprints)])

        # A card pulled during the signing key's lookup, found as in
        # PulledCards: the walk ends with four commands after the signing
        # certificate's reading.
        probe = self.session.card(1, self.session.make_card("probe", "--certificates", "sign"))
        probe.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
        signing_read = probe.commands() - 4
        probe.remove()
        self.assertRemoved(ATR21_SERIAL)
        self.assertTrue(card.command("fail-after %d" % (signing_read - 2)).startswith("ok"))
        card.insert()
        cut = self.wait_for_events(self.NOT_READ_WHOLE)
        self.assertEqual(len(cut), 1, cut)
        self.assertEqual(cut[0][:3], [reader, ATR21_SERIAL, "clave"])
        self.assertRegex(cut[0][3], "^PC/SC 0x8010[0-9A-F]{4}$")
        self.assertEqual(cut[0][4], "0")
        time.sleep(2.5)  # the pull seen by the monitor
        self.assertRemoved(ATR21_SERIAL)

        card.insert()
        self.assertRegistered(ATR21_SERIAL, [SIGNATURE, EXCHANGE])
        card.remove()
        self.assertRemoved(ATR21_SERIAL)
        removed = self.wait_for_events(self.REMOVED, 3)
        self.assertEqual(removed[-1][:3], [reader, ATR21_SERIAL, "2"])
        self.assertEqual(sorted(removed[-1][3].split()), thumbprints)
        self.assertEndsCleanly()
        types = {ident: kind for (ident, kind, _) in read_events(self.output)}
        self.assertEqual(types, {self.STARTED: self.INFORMATION, self.CLEANED: self.INFORMATION,
                                 self.REGISTERED: self.INFORMATION, self.REMOVED: self.INFORMATION,
                                 self.NOT_READ_WHOLE: self.WARNING})

    def test_a_flood_of_one_kind_is_held_to_a_handful_a_minute(self):
        self.turn_events_on()
        card = self.session.card(0, self.session.make_card("flood", "--certificates", "sign"))
        self.start_logging()
        began = time.monotonic()
        for _ in range(8):
            card.insert()
            self.assertRegistered(ATR21_SERIAL, [SIGNATURE])
            card.remove()
            self.assertRemoved(ATR21_SERIAL)
        self.assertLess(time.monotonic() - began, 50, "the cycles outlasted one minute's window")
        left_out = self.wait_for_events(self.LEFT_OUT, 2, limit=90)
        self.assertEqual(sorted(left_out), [["101", "3", "60"], ["102", "3", "60"]])
        self.assertEqual(len(self.wait_for_events(self.REGISTERED)), 5)
        self.assertEqual(len(self.wait_for_events(self.REMOVED)), 5)
        self.assertEndsCleanly()


class Endurance(VelmoMonTest):
    def test_hundred_insertions_leave_the_store_and_the_memory_as_they_were(self):
        self.start()
        before = self.session.store()
        card = self.session.card(0, self.session.make_card("cycles", "--certificates", "sign", "--keys", "sign"))
        resident = {}
        for cycle in range(1, 101):
            card.insert()
            self.assertEqual(len(self.session.wait_for_rows(ATR21_SERIAL, 1)), 1, "cycle %d" % cycle)
            card.remove()
            self.assertEqual(self.session.wait_for_rows(ATR21_SERIAL, 0), [], "cycle %d" % cycle)
            if cycle in (10, 100):
                resident[cycle] = self.session.resident_kib()
        print("VelmoMon resident memory: %d KiB after 10 cycles, %d KiB after 100 (%+d KiB)"
              % (resident[10], resident[100], resident[100] - resident[10]))
        self.assertEqual(self.session.store(), before)
        self.assertLess(resident[100] - resident[10], 8 * 1024)
        self.assertEndsCleanly()


class Soak(VelmoMonTest):
    """Not in the default run (ctest label soak): about 40 minutes."""
    CYCLES = int(os.environ.get("VELMO_SOAK_CYCLES", "1000"))
    REPORTED = (10, 100, 1000)

    def test_thousand_insertions_keep_the_store_exact(self):
        self.start()
        card = self.session.card(0, self.session.make_card("soak"))
        card.insert()
        registered = self.assertRegistered(ATR21_SERIAL, [SIGNATURE, EXCHANGE])
        # The demo card's CA certificate has no key on the card: it stays.
        full = self.session.wait_for_store(lambda rows: len(rows) == 3)
        self.assertTrue(set(registered) <= set(full), full)
        empty = [row for row in full if row not in registered]
        card.remove()
        self.assertEqual(self.session.wait_for_store(lambda rows: rows == empty), empty)
        started = time.monotonic()
        resident = {}
        for cycle in range(1, self.CYCLES + 1):
            card.insert()
            self.assertEqual(self.session.wait_for_store(lambda rows: rows == full), full, "cycle %d" % cycle)
            card.remove()
            self.assertEqual(self.session.wait_for_store(lambda rows: rows == empty), empty, "cycle %d" % cycle)
            if cycle in self.REPORTED or cycle == self.CYCLES:
                resident[cycle] = self.session.resident_kib()
                print("soak: cycle %4d  VelmoMon resident %6d KiB  %6.0f s" %
                      (cycle, resident[cycle], time.monotonic() - started), flush=True)
        first = min(resident)
        for cycle in sorted(resident)[1:]:
            print("soak: cycles %d to %d: %+d KiB, %+.2f KiB a cycle" % (
                first, cycle, resident[cycle] - resident[first],
                (resident[cycle] - resident[first]) / (cycle - first)))
        self.assertEndsCleanly()


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    RUN_DIR, PREFIX = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
