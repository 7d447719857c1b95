"""orvex-cli against the test server: parameters, JSON and table output, exit codes."""

import json
import socket
import subprocess

from orvexe2e import ServerTestCase, binary, cli, free_port


class CommandLineClient(ServerTestCase):
    rpc_only = True

    def cli(self, *args, port=None):
        return cli(port or self.server.port, *args, login=False)

    def output(self, *args):
        """The standard output of a command that must succeed."""
        run = self.cli(*args)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run.stdout.decode()

    def test_parameters_and_json_output(self):
        out = self.output("echo", "1", "2.5", "word", "Котёл", '{"$date":"2024-01-02"}', "[1,null]", "true")
        self.assertIn("\n  ", out)  # indented
        self.assertEqual(json.loads(out), [1, 2.5, "word", "Котёл", {"$date": "2024-01-02"}, [1, None], True])

    def test_table_output_aligns_characters(self):
        t = {"$table": {"columns": ["name", "n"], "rows": [["Узел учёта", 1], ["Ёж", 22], [None, 3.5]]}}
        lines = self.output("--table", "identity", json.dumps(t, ensure_ascii=False)).splitlines()
        self.assertEqual(lines[0].split(), ["name", "n"])
        self.assertTrue(set(lines[1].replace(" ", "")) == {"-"})
        # The second column ends in the same character position on every line.
        self.assertEqual(len({len(line) for line in lines}), 1, lines)
        self.assertTrue(lines[2].startswith("Узел учёта") and lines[4].endswith("3.5"), lines)

        # A map: one line per key.
        self.assertEqual(self.output("--table", "identity", '{"state":"Чтение архива","id":7}').splitlines()[2:],
                         ["id     7", "state  Чтение архива"])

        lines = self.output("makeTable", "3", "4", "--table").splitlines()
        self.assertEqual(lines[0].split(), ["date", "S1_p1", "S1_p2", "S1_p3"])
        self.assertEqual(len(lines), 5)
        self.assertIn("2024-01-01 02:00:00", lines[4])

    def test_exit_codes(self):
        for run, code, said in ((self.cli("fail", "Недостаточно прав для выполнения команды"), 1, "Недостаточно прав"),
                                (self.cli("-u", "admin", "-w", "tavro", "noop"), 1, "login"),   # no login command here
                                (self.cli("noop", port=free_port()), 2, ""), (self.cli("echo", '{"$bad":1}'), 3, ""),
                                (subprocess.run([binary("orvex-cli")], capture_output=True, timeout=60), 3, "orvex-cli")):
            self.assertEqual(run.returncode, code, run.args)
            self.assertIn(said, run.stderr.decode())
            self.assertTrue(run.stderr.strip(), run.args)
        # A connection dropped during the call is a transport failure too.
        with socket.create_server(("127.0.0.1", 0)) as listener:
            run = subprocess.Popen([binary("orvex-cli"), "-H", "127.0.0.1", "-p", str(listener.getsockname()[1]), "noop"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            listener.accept()[0].close()
            self.assertEqual((run.communicate(timeout=60)[1] != b"", run.returncode), (True, 2))
