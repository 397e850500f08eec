"""The checker's rules on made-up histories: one case per anomaly class and
per exception the rules make."""

import unittest

import checker
from checker import Doc, Op, Target

FIELDS = {"client": 10, "app_type": 33, "cell": 4711}


def doc(server="ci1", id=1, path="/c10/d1/f1", added=(checker.NEVER, checker.NEVER), **ids):
    return Doc(server, id, path, **dict({"client": 10, "app_type": 33, "cell": 4711}, **ids),
               added=added)


def erase(outcome, start=10.0, end=11.0, path="/c10/d1", servers=("ci1", "ci2"), failed=None):
    targets = [Target(s, 100 + int(s[2:]), path=path, fields=FIELDS) for s in servers]
    op = Op(1, "backup-tree", "host1", ["erase-backup", path], None, targets, bound=5.0,
            start=start, end=end, outcome=outcome)
    op.failed_keys = failed
    return op


def prune(outcome, elements=((1001, 1),), failed=None, start=10.0, end=11.0):
    targets = [Target(f"ci{c}", (a, c), archive=(a, c, 4711)) for a, c in elements]
    op = Op(2, "prune", "host1", ["prune"], "", targets, bound=5.0, start=start, end=end,
            outcome=outcome)
    op.failed_keys = failed
    return op


def kinds(anomalies):
    return sorted(a.kind for a in anomalies)


class CheckerTest(unittest.TestCase):
    def test_ok_erase_whose_document_remains_is_a_lost_acknowledgement(self):
        d = doc()
        self.assertEqual(kinds(checker.check_indexes([d], {("ci1", 1)}, [erase("ok")])),
                         ["lost-acknowledgement"])
        self.assertEqual(checker.check_indexes([d], set(), [erase("ok")]), [])

    def test_subtree_covers_below_but_not_beside(self):
        beside = doc(path="/c10/d10/f1")
        other_client = doc(id=2, client=11)
        present = {("ci1", 1), ("ci1", 2)}
        self.assertEqual(checker.check_indexes([beside, other_client], present, [erase("ok")]), [])

    def test_failed_and_unknown_acknowledge_nothing(self):
        for outcome in ("failed", "unknown"):
            self.assertEqual(checker.check_indexes([doc()], {("ci1", 1)}, [erase(outcome)]), [])

    def test_nothing_to_erase_claims_there_was_nothing(self):
        self.assertEqual(kinds(checker.check_indexes([doc()], {("ci1", 1)},
                                                     [erase("nothing-to-erase")])),
                         ["lost-acknowledgement"])

    def test_partial_acknowledges_what_it_does_not_name(self):
        on_ci2 = doc(server="ci2", id=7)
        present = {("ci1", 1), ("ci2", 7)}
        anomalies = checker.check_indexes([doc(), on_ci2], present,
                                          [erase("partial", failed={101})])
        self.assertEqual(kinds(anomalies), ["lost-acknowledgement"])
        self.assertIn("ci2", anomalies[0].text)
        # No list at all: nothing may be assumed done.
        self.assertEqual(checker.check_indexes([doc()], present, [erase("partial")]), [])

    def test_partial_prune_names_archive_files(self):
        docs = [doc(path="/af1001/doc0", client=0, app_type=0, archive=1001, cloud=1),
                doc(server="ci2", id=2, path="/af2002/doc0", client=0, app_type=0, archive=2002,
                    cloud=2)]
        op = prune("partial", elements=((1001, 1), (2002, 2)), failed={(1001, 1)})
        anomalies = checker.check_indexes(docs, {("ci1", 1), ("ci2", 2)}, [op])
        self.assertEqual(kinds(anomalies), ["lost-acknowledgement"])
        self.assertIn("2002", anomalies[0].text)

    def test_document_added_during_the_operation_may_end_either_way(self):
        d = doc(added=(10.5, 10.6))
        self.assertEqual(checker.check_indexes([d], {("ci1", 1)}, [erase("ok")]), [])
        self.assertEqual(checker.check_indexes([d], set(), [erase("ok")]), [])

    def test_document_gone_that_no_operation_names_is_over_deleted(self):
        named_elsewhere = doc(path="/c10/d2/f1")
        self.assertEqual(kinds(checker.check_indexes([named_elsewhere], set(), [erase("ok")])),
                         ["over-deletion"])

    def test_acknowledged_operation_cannot_remove_a_later_document(self):
        later = doc(added=(12.0, 12.1))
        self.assertEqual(kinds(checker.check_indexes([later], set(), [erase("ok")])),
                         ["over-deletion"])
        # One that failed may still have been carried out later.
        self.assertEqual(checker.check_indexes([later], set(), [erase("failed")]), [])

    def test_hang_against_the_bound(self):
        self.assertEqual(checker.check_hangs([erase("ok", end=14.9)]), [])
        self.assertEqual(kinds(checker.check_hangs([erase("ok", end=15.1)])), ["hang"])

    def test_hang_bound_counts_lookups_attaches_and_exchanges(self):
        unit = 20
        attach, send, receive, disconnect = 2.4, 2.4, 12.0, 2.4
        self.assertAlmostEqual(checker.hang_bound("backup-doc", servers=2, unit_ms=unit),
                               9 * checker.LOOKUP_S + 2 * (2 * attach + send + receive) +
                               checker.SLACK_S)
        self.assertAlmostEqual(checker.hang_bound("rurizoze", unit_ms=unit),
                               3 * checker.LOOKUP_S + 2 * attach + send + receive + checker.SLACK_S)
        self.assertAlmostEqual(checker.hang_bound("prune", elements=3, clouds=2, unit_ms=unit),
                               10 * checker.LOOKUP_S + 2 * (attach + disconnect) +
                               3 * (attach + send) + checker.SLACK_S)

    def test_convergence_after_the_reruns(self):
        failed = erase("failed")
        failed.rerun = "ok"
        d = doc()
        self.assertEqual(checker.check_convergence([d], set(), [failed], set(), set()), [])
        self.assertEqual(kinds(checker.check_convergence([d], {("ci1", 1)}, [failed],
                                                         {("ci1", 1)}, set())),
                         ["no-convergence"])
        failed.rerun = "failed: connection refused"
        self.assertIn("no-convergence", kinds(checker.check_convergence([d], set(), [failed],
                                                                        set(), set())))

    def test_convergence_finds_rows_nobody_added(self):
        self.assertEqual(kinds(checker.check_convergence([], {("ci1", 9)}, [], {("ci1", 9)},
                                                         set())), ["no-convergence"])

    def test_overlapping_operations_and_faults_are_attached(self):
        op = erase("ok")
        fault = checker.Fault(1, "kill-server", "ci1", 1.0, start=10.5, end=11.5)
        far = checker.Fault(2, "pause-server", "ci2", 1.0, start=20.0, end=21.0)
        anomalies = checker.overlapping(checker.check_indexes([doc()], {("ci1", 1)}, [op]),
                                        [op], [fault, far], 30.0)
        self.assertEqual(anomalies[0].ops, [op])
        self.assertEqual(anomalies[0].faults, [fault])


class ScheduleTest(unittest.TestCase):
    def test_a_seed_replays_its_schedule_with_every_kind_first(self):
        import itertools
        import random
        import chaos
        first = list(itertools.islice(chaos.fault_schedule(7), 40))
        again = list(itertools.islice(chaos.fault_schedule(7), 40))
        other = list(itertools.islice(chaos.fault_schedule(8), 40))
        self.assertEqual(first, again)
        self.assertNotEqual(first, other)
        self.assertEqual(sorted(f.kind for _, f in first[:10]), sorted(chaos.FAULT_KINDS))

        def operations(seed):
            rng = random.Random(f"{seed}/worker0")
            return [chaos.make_op(i, "host1", rng).describe() for i in range(20)]
        self.assertEqual(operations(7), operations(7))
        self.assertNotEqual(operations(7), operations(8))


if __name__ == "__main__":
    unittest.main()
