"""orvex-device-sim on its own: the polling conversation and its faults."""

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

    def poll(self, channel, driver="QRVK", data=("hourData", "dayData"), first=None):
        """Runs one job to its end: (job, state reply, log, result reply)."""
        job = self.c.ok("createTask", channel, {"code": driver})
        params = dict({"data": list(data)}, **({"firstDate": first} if first else {}))
        self.assertIs(self.c.ok("setCommand", job, "readArchive", params), True)
        self.assertIs(self.c.ok("startTask", job), True)
        wait_until(lambda: self.c.ok("getState", job)[1], timeout=20)
        state, log = self.c.ok("getState", job), self.c.ok("takeLog", job)[1]
        result = self.c.ok("getResult", job)
        self.assertIs(self.c.ok("removeTask", job), True)
        return job, state, log, result

    def tables(self, result):
        self.assertIs(result[1], True, result)
        return {name: rows(table) for name, table in result[2][0]["$tables"].items()}

    def test_polling_conversation(self):
        job, state, log, result = self.poll(self.new_device(), first=days_ago(3))
        self.assertEqual(state[:4], [job, True, 100, "Опрос завершён"])
        self.assertTrue(any("Чтение часового архива" in line for line in log), log)
        first = self.tables(result)
        info = first["info"][0]
        self.assertEqual((info["model_code"], info["model_name"], info["number"]), ("QRV2", "ТВ-2", self.device))
        # Their values, the same at every poll of the device: tst_metervalues.
        self.assertGreaterEqual(len(first["hour_data"]), 48)
        self.assertEqual(("day_totals" in first, "setting_data" in first), (False, True))
        current = first["current_data"][0]
        self.assertEqual(current["date"], current["DT"])

    def test_failure_modes(self):
        def outcome(**channel):
            return self.poll(self.new_device(**channel))[3]

        self.assertEqual(outcome(fault="refused")[1:], [False, "Соединение с прибором отклонено"])
        self.assertEqual(outcome(fault="noAnswer")[1:], [False, "Прибор не отвечает"])
        self.assertEqual(outcome(fault="empty")[1:], [True, []])

        clock = self.tables(outcome(fault="clockOff", clockOffset="60"))["current_data"][0]
        device = datetime.datetime.fromisoformat(clock["date"]["$datetime"])
        server = datetime.datetime.fromisoformat(clock["sys_date"]["$datetime"])
        self.assertEqual(device - server, datetime.timedelta(minutes=60))

        full = self.tables(self.poll(self.new_device(), first=days_ago(20))[3])["hour_data"]
        gappy = self.tables(self.poll(self.new_device(fault="gaps"), first=days_ago(20))[3])["hour_data"]
        self.assertTrue(len(full) * 0.85 < len(gappy) < len(full) * 0.99, (len(gappy), len(full)))
