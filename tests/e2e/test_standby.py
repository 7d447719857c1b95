"""Servers sharing a PostgreSQL database: only the holder of the database's advisory lock is active; a standby
keeps its ports closed and says so in its log, and takes the lock when its holder's session ends."""

import signal
import time

from orvexe2e import DataServer, TcpClient, accepts, pg_section, pgcluster, wait_until

STANDBY = "Резервный сервер: ждёт, пока БД"
HELD_ELSEWHERE = "Резервный сервер: Блокировку держит другой сервер"
BECAME_ACTIVE = "Сервер стал активным: блокировка БД"
STANDBY_AGAIN = "Активный сервер не запустился: блокировка освобождена, сервер снова резервный"
LOST = "Сервер потерял блокировку БД"


def logged_server(test, ini, home=None):
    """A DataServer on that [Database] section, not waited for; at the test's clean-up it must stop cleanly and say
    so, unless the test killed it."""
    server = DataServer(home=home, wait=False, server_ini=ini)

    def stop():
        killed = server.proc.poll() == -signal.SIGKILL
        code = server.stop()
        if not killed:
            test.assertEqual(code, 0, server.output)
            test.assertIn("Сервер остановлен", server.output)
    test.addCleanup(stop)
    return server


class StandbyTest(pgcluster.ClusterTestCase):
    def test_database_it_cannot_use(self):
        # A database it cannot use (a table of someone else's, no schema version) keeps its work from starting once
        # it has the lock: it says so and gives the lock up, its ports closed throughout. (A standby waiting for the
        # lock another server holds: test_active_session_ended, test_failover.)
        database = self.cluster.create_database("standby")
        self.cluster.psql("CREATE TABLE stray (x INTEGER)", database)
        server = logged_server(self, pg_section(self.cluster, database))
        self.assertTrue(wait_until(lambda: STANDBY_AGAIN in server.log(), timeout=60), server.log())
        for said in (STANDBY, BECAME_ACTIVE, '"schema_version" does not exist'):
            self.assertIn(said, server.log())
        self.assertFalse(accepts(server.port))
        # Once the database can be used, the next attempt makes it the active server (still running), its port open.
        self.cluster.psql("DROP TABLE stray", database)
        self.assertTrue(wait_until(lambda: accepts(server.port), timeout=60), server.log())

    def test_active_session_ended(self):
        # An administrator's pg_terminate_backend (or a cut connection) ends the active server's session. Its work
        # runs in the session that holds the lock, so it can neither sit on the lock unable to work nor write
        # without it: it stops, and the lock's next holder (itself again, or the standby) is the one active server.
        sessions = ("SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                    "AND application_name = 'orvex-server'")
        holder = ("SELECT pid FROM pg_locks WHERE locktype = 'advisory' AND granted AND objid = 1 "
                  "AND database = (SELECT oid FROM pg_database WHERE datname = current_database())")
        for with_standby in (False, True):
            with self.subTest(standby=with_standby):
                database = self.cluster.create_database("ended")
                first = logged_server(self, pg_section(self.cluster, database))
                self.assertTrue(wait_until(lambda: accepts(first.port), timeout=60), first.log())
                servers = [first]
                if with_standby:
                    standby = logged_server(self, pg_section(self.cluster, database))
                    self.assertTrue(wait_until(lambda: HELD_ELSEWHERE in standby.log(), timeout=60))
                    servers.append(standby)
                # One session per server: the active one's lock and its work share one.
                self.assertEqual(self.cluster.psql(sessions, database), str(len(servers)))
                self.cluster.psql("SELECT pg_terminate_backend((%s))" % holder, database)
                self.assertTrue(wait_until(lambda: LOST in first.log(), timeout=30), first.log())
                self.assertNotIn(LOST + " ()", first.log(), "the loss is logged without its reason")
                self.assertTrue(wait_until(lambda: any(accepts(s.port) for s in servers), timeout=30),
                                first.log())
                # Settled: over a few of the standbys' attempts exactly one server listens at any time.
                end = time.monotonic() + 7
                while time.monotonic() < end:
                    listening = [s.port for s in servers if accepts(s.port)]
                    self.assertEqual(len(listening), 1, first.log())
                    time.sleep(0.25)   # not so often that the connections tried fill a listener's backlog
                c = TcpClient(listening[0])
                self.addCleanup(c.close)
                c.ok("login", "admin", "tavro")
                self.assertGreater(c.ok("saveGroup", {"name": "Район после обрыва"}), 0)

