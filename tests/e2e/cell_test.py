"""The whole job across machines: the directory on PostgreSQL, two CI servers
and the backup host, each in a network namespace of its own, TLS everywhere
(netcell.py). Skipped, with the reason, only where namespaces cannot be made."""

import unittest

from netcell import (APP_TYPE, CLIENT, OPERATIONS, SERVERS, NetworkCell, Refused,
                     exit_on_terminate)

exit_on_terminate()


class CellAcrossMachinesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        try:
            cls.cell = NetworkCell()
        except Refused as reason:
            raise unittest.SkipTest(str(reason))
        try:
            cls.cell.populate()
        except BaseException:
            cls.cell.close()
            raise

    @classmethod
    def tearDownClass(cls):
        network = cls.cell.network
        cls.cell.close()
        if network.leftovers():
            raise AssertionError(f"namespaces left behind: {network.leftovers()}")

    def run_operation(self, title, args, stdin, expectations):
        result = self.cell.tqci(*args, stdin=stdin)
        self.assertEqual(result.returncode, 0, f"{title}\n{result.stderr}\n{self.cell.debug_log()}")
        for name, path, remains in expectations:
            self.assertEqual(path in self.cell.servers[name].paths(), remains, f"{title}: {path} on {name}")

    def test_every_operation_crosses_the_network_from_the_host(self):
        for operation in OPERATIONS:
            with self.subTest(operation[0]):
                self.run_operation(*operation)
        host = self.cell.network.address["host"]
        for server in self.cell.servers.values():
            self.assertRegex(server.log_text(), rf"session started: peer {host}\b")
            self.assertNotRegex(server.log_text(), r"session started: peer (?!" + host.replace(".", r"\.") + ")")

    def test_change_made_on_another_machine_is_seen_by_the_next_erase(self):
        for name, (cloud, _) in SERVERS.items():
            self.cell.servers[name].add("/home/ann/moved.txt", "moved", client=CLIENT,
                                        app_type=APP_TYPE, cell_number=4711, cloud=cloud)
        self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 2, machine="ci1")
        try:
            self.run_operation("erase after the remap", ["erase-backup", "--cell", 1, "--client", CLIENT,
                                                         "--app-type", APP_TYPE, "/home/ann/moved.txt"],
                               None, [("ci1", "/home/ann/moved.txt", True),
                                      ("ci2", "/home/ann/moved.txt", False)])
        finally:
            self.cell.tqdir("map-client-engines", CLIENT, APP_TYPE, 1, 2, machine="ci1")

    def test_directory_refuses_a_host_without_a_certificate_of_the_cell(self):
        uri = self.cell.directory_uri.split("&sslcert=")[0]
        for refused in (uri, uri.replace("sslmode=verify-full", "sslmode=disable")):
            result = self.cell.on_host("tqdir", "--db", refused, "show")
            self.assertEqual(result.returncode, 1, result.stdout)
            self.assertIn("cannot open the directory database", result.stderr)


if __name__ == "__main__":
    unittest.main()
