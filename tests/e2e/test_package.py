"""The Debian package: contents, control and unit, maintainer scripts in a temporary root, a poll by its binaries."""

import os
import shutil
import subprocess
import tempfile
import unittest
import urllib.request

from orvexe2e import (BUILD_DIR, TcpClient, accepts, finish, free_port, node_and_task, open_http,
                      read, wait_idle, wait_until, write)
from opce2e import NODE, children

# Stand-ins for chown and the user database commands, so that the scripts run without root.
SHIMS = {
    "chown": '#!/bin/sh\necho "chown $*" >> "$SHIM_LOG"\n',
    "getent": '#!/bin/sh\ngrep -qx "$1 $2" "$SHIM_LOG.users" 2>/dev/null\n',
    "addgroup": '#!/bin/sh\necho "addgroup $*" >> "$SHIM_LOG"\nfor last; do :; done\n'
                'echo "group $last" >> "$SHIM_LOG.users"\n',
    "adduser": '#!/bin/sh\necho "adduser $*" >> "$SHIM_LOG"\nfor last; do :; done\n'
               'echo "passwd $last" >> "$SHIM_LOG.users"\n',
}


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=300, **kwargs)


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="orvex-deb-")
        # Uncompressed: the test reads the package, nobody downloads it.
        built = run(["cpack", "-G", "DEB", "-B", cls.tmp, "-D", "CPACK_DEBIAN_COMPRESSION_TYPE=none",
                     "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake")])
        assert built.returncode == 0, built.stdout + built.stderr
        cls.deb = next(os.path.join(cls.tmp, f) for f in os.listdir(cls.tmp) if f.endswith(".deb"))
        cls.root = os.path.join(cls.tmp, "root")
        assert run(["dpkg-deb", "-x", cls.deb, cls.root]).returncode == 0
        assert run(["dpkg-deb", "-e", cls.deb, os.path.join(cls.root, "DEBIAN")]).returncode == 0

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_contents_and_control(self):
        listing = run(["dpkg-deb", "-c", self.deb]).stdout
        files = {line.split()[5].lstrip(".") for line in listing.splitlines()}
        # Besides what the other tests run or read from the package (the server, the simulator, the metadata, the
        # shipped INI file, the unit, the console's page, the OPC UA gateway with its modules).
        for path in ("/usr/bin/orvex-cli", "/usr/share/orvex/translations/qtbase_ru.qm",
                     "/usr/share/doc/orvex-server/operations.md", "/usr/share/orvex/console/vendor/uPlot.esm.js"):
            self.assertIn(path, files)
        self.assertIn("-> /usr/share/qt5/translations/qtbase_ru.qm", listing)
        # One unit: the simulator is a tool, nothing starts it.
        self.assertEqual([f for f in files if f.endswith(".service")], ["/usr/lib/systemd/system/orvex-server.service"])
        self.assertFalse([f for f in files if f.startswith("/etc/") or f.startswith("/var/")], files)
        # The libraries the binaries link, found when the package is made (the fields written out in
        # packaging/CMakeLists.txt are not checked again).
        info = run(["dpkg-deb", "-f", self.deb, "Depends"]).stdout
        for dependency in ("libqt5core5a", "libsqlite3-0"):
            self.assertIn(dependency, info)

        unit = read(os.path.join(self.root, "usr/lib/systemd/system/orvex-server.service"))
        self.assertIn("ExecStart=/usr/bin/orvex-server\n", unit)     # the package's prefix, not the staging folder
        if shutil.which("systemd-analyze"):
            # ExecStart at the extracted binary, which verify wants; it passes unknown keys, so warnings fail too.
            copy = os.path.join(self.tmp, "orvex-server.service")
            write(copy, unit.replace("/usr/bin/", os.path.join(self.root, "usr/bin/")))
            checked = run(["systemd-analyze", "verify", copy])
            self.assertEqual((checked.returncode, checked.stdout + checked.stderr), (0, ""))

    def maintainer(self, script, *args):
        shims = os.path.join(self.tmp, "shims")
        os.makedirs(shims, exist_ok=True)
        for name, text in SHIMS.items():
            write(os.path.join(shims, name), text)
            os.chmod(os.path.join(shims, name), 0o755)
        env = dict(os.environ, DPKG_ROOT=self.root, SHIM_LOG=os.path.join(self.tmp, "shim.log"),
                   PATH=shims + os.pathsep + os.environ["PATH"])
        done = run(["sh", os.path.join(self.root, "DEBIAN", script)] + list(args), env=env)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return done.stderr

    def test_maintainer_scripts_keep_data_until_purge(self):
        ini = os.path.join(self.root, "etc/orvex/orvex-server.ini")
        db = os.path.join(self.root, "var/lib/orvex/telvan.db")
        self.maintainer("postinst", "configure")
        for expected in ("address=127.0.0.1\n", "requireLogin=true\n"):
            self.assertIn(expected, read(ini))
        self.assertTrue(os.path.isdir(os.path.join(self.root, "var/lib/orvex/backup")))
        write(ini, "; the administrator's own line\n", "a")
        write(db, "data")
        # Again (a reinstall or upgrade): the user is made once, nothing is replaced.
        self.maintainer("prerm", "upgrade", "1.0")
        self.maintainer("postinst", "configure", "1.0")
        log = read(os.path.join(self.tmp, "shim.log"))
        self.assertEqual((log.count("addgroup"), log.count("adduser")), (1, 1), log)
        self.assertIn("chown orvex:orvex %s/var/lib/orvex" % self.root, log)
        self.assertIn("the administrator's own line", read(ini))
        # remove keeps the database and the settings, and says so.
        self.maintainer("prerm", "remove")
        self.assertIn("kept", self.maintainer("postrm", "remove"))
        self.assertEqual((read(db), os.path.exists(ini)), ("data", True))
        self.maintainer("postinst", "configure")
        self.assertEqual(read(db), "data")
        # purge says what it deletes, then deletes it; twice is harmless.
        self.assertIn("purge deletes the database", self.maintainer("postrm", "purge"))
        self.assertFalse(os.path.exists(db) or os.path.exists(ini))
        self.assertEqual(self.maintainer("postrm", "purge"), "")

    def test_installed_server_runs_from_the_package(self):
        home = os.path.join(self.tmp, "home")
        os.makedirs(home)
        port, sim_port = free_port(), free_port()
        ini = os.path.join(self.tmp, "server.ini")
        write(ini, read(os.path.join(self.root, "usr/share/orvex/orvex-server.ini")).replace("port=5412", "port=%d" % port)
              .replace("/var/lib/orvex/telvan.db", os.path.join(home, "telvan.db")))
        write(os.path.join(home, "varnel.ini"), "[Server]\nport=%d\n" % sim_port)
        env = dict(os.environ, ORVEX_HOME=home, ORVEX_CONFIG=ini, ORVEX_RUNTIME_DIR=home)
        env.pop("ORVEX_DATA_DIR", None)
        binaries = os.path.join(self.root, "usr/bin")
        sim = subprocess.Popen([os.path.join(binaries, "orvex-device-sim"), "-p", str(sim_port), "-a", "127.0.0.1",
                                "--instant"], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(finish, sim)
        server = subprocess.Popen([os.path.join(binaries, "orvex-server")], env=env, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        self.assertTrue(wait_until(lambda: accepts(port) or server.poll() is not None))
        c = TcpClient(port)   # requireLogin in the shipped INI: the maintainer scripts' test; read by test_security
        c.ok("login", "admin", "tavro")
        # The metadata comes from the package's share folder: a poll needs the model's driver.
        node, task = node_and_task(c, task={"archives": ["hourData"]})
        c.ok("startTask", task)
        wait_idle(c, task)
        self.assertIsNone(c.ok("getTask", task)["last_error"])
        self.assertTrue(c.rows("getArchive", node, "hour_data", None, None))
        # The web console comes from the package's share folder too.
        with urllib.request.urlopen("http://127.0.0.1:%d/" % open_http(c), timeout=30) as page:
            self.assertEqual(page.read(), read(os.path.join(self.root, "usr/share/orvex/console/index.html"), "rb"))
        # And the OPC UA gateway, started as soon as "opcPort" is set.
        if NODE:
            opc_port = free_port()
            c.ok("setSetting", "opcPort", opc_port)
            self.assertTrue(wait_until(lambda: accepts(opc_port), timeout=60))
            self.assertEqual([os.readlink("/proc/%d/cwd" % pid) for pid in children(server.pid)],
                             [os.path.join(self.root, "usr/share/orvex/opc-gateway")])
        c.close()
        code, err = finish(server)
        self.assertEqual(code, 0, err)   # stopped cleanly (what it logs then: test_standby)
