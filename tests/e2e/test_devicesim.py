"""orvex-device-sim on its own: the current reading's clock, as the device keeps it and with a clock off (the rest of
its conversation is every polling test's; its values: tests/devicesim)."""

import datetime
import unittest

from orvexe2e import DeviceSimulator, TempHome, rows, wait_until


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

    def current(self, **channel):
        """The current reading one job of a new device brings."""
        SimulatorTest.device += 1
        job = self.c.ok("createTask", dict({"code": "COM", "port": "COM%d" % self.device, "deviceId": str(self.device)},
                                           **channel), {"code": "QRVK"})
        self.assertIs(self.c.ok("setCommand", job, "readArchive", {"data": ["currentData"]}), True)
        self.assertIs(self.c.ok("startTask", job), True)
        wait_until(lambda: self.c.ok("getState", job)[1], timeout=20)
        result = self.c.ok("getResult", job)
        self.assertIs(self.c.ok("removeTask", job), True)
        self.assertIs(result[1], True, result)
        return rows(result[2][0]["$tables"]["current_data"])[0]

    def test_polling_conversation(self):
        current = self.current()
        self.assertEqual(current["date"], current["DT"])

    def test_failure_modes(self):
        clock = self.current(fault="clockOff", clockOffset="60")
        device = datetime.datetime.fromisoformat(clock["date"]["$datetime"])
        server = datetime.datetime.fromisoformat(clock["sys_date"]["$datetime"])
        self.assertEqual(device - server, datetime.timedelta(minutes=60))
