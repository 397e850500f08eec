"""chaos.short: a seeded fault run of the whole cell (chaos.py) with a fixed
seed, every fault kind at least once; it passes when the checker finds no
anomaly. Skipped, with the reason, where namespaces cannot be made."""

import os
import unittest

import chaos
from netcell import Refused, exit_on_terminate

SEED = 29
OPS = int(os.environ.get("TQ_CHAOS_OPS", "240"))


class ChaosShortTest(unittest.TestCase):
    def test_no_anomaly_under_every_fault_kind(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("network namespaces need root")
        try:
            status = chaos.main(["--seed", str(SEED), "--ops", str(OPS), "--fault-gap", "1.0",
                                 "--min-faults", str(len(chaos.FAULT_KINDS))])
        except Refused as reason:
            raise unittest.SkipTest(str(reason))
        self.assertEqual(status, 0, "the checker found anomalies (the report above)")


if __name__ == "__main__":
    exit_on_terminate()
    unittest.main()
