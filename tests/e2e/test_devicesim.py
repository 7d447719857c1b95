"""orvex-device-sim on its own: the faults it plays (its conversation is every polling test's)."""

import datetime
import unittest

from orvexe2e import DeviceSimulator, TempHome, dt, rows, wait_until


def days_ago(n):
    day = datetime.datetime.now() - datetime.timedelta(days=n)
    return dt(day.strftime("%Y-%m-%dT00:00:00.000"))


class SimulatorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.home = TempHome()
        cls.sim = DeviceSimulator(cls.home)
        cls.c = cls.sim.client
        cls.device = 700

    @classmethod
    def tearDownClass(cls):
        assert cls.sim.stop() == 0
        cls.home.remove()

    def new_device(self, **channel):
        SimulatorTest.device += 1
        return dict({"code": "COM", "port": "COM%d" % self.device, "deviceId": str(self.device)}, **channel)

    def poll(self, channel, first=None):
        """Runs one job to its end: its result reply."""
        job = self.c.ok("createTask", channel, {"code": "QRVK"})
        params = dict({"data": ["hourData", "dayData"]}, **({"firstDate": first} if first else {}))
        self.assertIs(self.c.ok("setCommand", job, "readArchive", params), True)
        self.assertIs(self.c.ok("startTask", job), True)
        wait_until(lambda: self.c.ok("getState", job)[1], timeout=20)
        result = self.c.ok("getResult", job)
        self.assertIs(self.c.ok("removeTask", job), True)
        return result

    def tables(self, result):
        self.assertIs(result[1], True, result)
        return {name: rows(table) for name, table in result[2][0]["$tables"].items()}

    def test_failure_modes(self):
        def outcome(**channel):
            return self.poll(self.new_device(**channel))

        self.assertEqual(outcome(fault="refused")[1:], [False, "Соединение с прибором отклонено"])
        self.assertEqual(outcome(fault="noAnswer")[1:], [False, "Прибор не отвечает"])
        self.assertEqual(outcome(fault="empty")[1:], [True, []])

        clock = self.tables(outcome(fault="clockOff", clockOffset="60"))["current_data"][0]
        device = datetime.datetime.fromisoformat(clock["date"]["$datetime"])
        server = datetime.datetime.fromisoformat(clock["sys_date"]["$datetime"])
        self.assertEqual(device - server, datetime.timedelta(minutes=60))

        full = self.tables(self.poll(self.new_device(), first=days_ago(20)))["hour_data"]
        gappy = self.tables(self.poll(self.new_device(fault="gaps"), first=days_ago(20)))["hour_data"]
        self.assertTrue(len(full) * 0.85 < len(gappy) < len(full) * 0.99, (len(gappy), len(full)))
