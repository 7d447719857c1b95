"""describeParams and getValues over the wire with the shipped metadata."""


from orvexe2e import ServerTestCase

ID_REFUSED = "Доступ к полям идентификаторов запрещен"


class ParametersTest(ServerTestCase):
    def test_describe_over_the_wire(self):
        c = self.client()
        result = c.ok("describeParams", "RNH7", ["S1_t1", "S1_t2", "S2_t1", "Th", "node_name", "bogus"],
                      [70.0, None, None, 1234, "Котельная", 1])
        # Nulls and what is no parameter left out, in the catalogue's order; names, units and the systems'
        # counts: tst_catalogue.
        self.assertEqual([p["code"] for p in result["params"]], ["Th", "S1_t1"])
        self.assertEqual(c.error("describeParams", "QRV3", ["S1_t1", "S1_t2"], [1]),
                         "Количество колонок не соответствует количеству значений")
        for params in (["S1_t1", [1]], [["S1_t1"]], [["S1_t1"], {"a": 1}]):
            self.assertTrue(c.error("describeParams", "QRV3", *params), params)

    def test_get_values(self):
        c = self.client()
        for table, column in [("tasks", "node_id"), ("nodes", "id"), ("nodes", "ID"), ("nodes", "group_id"),
                              ("users", "password"), ("USERS", "Password"), ("nosuch", "node_id")]:
            self.assertEqual(c.error("getValues", table, column), ID_REFUSED, (table, column))
        for params, expected in ((["nosuch", "name"], "nosuch"), (["nodes", "nosuch"], "nosuch"),
                                 (["sqlite_master", "name"], ""), (["", ""], ""), (["nodes"], "")):
            self.assertIn(expected, c.error("getValues", *params))
        # Names that would change the statement are just unknown names.
        for table, column in [("users", "name FROM users --"), ("nodes", "login FROM users UNION SELECT password"),
                              ("nodes; DROP TABLE nodes", "name"), ("nodes --", "name"), ('nodes"', "name"),
                              ("nodes", "name\" FROM users --")]:
            self.assertNotEqual(c.error("getValues", table, column), ID_REFUSED, (table, column))

        # Distinct values, of a nodes table still there.
        c.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 123, "consumer": "Школа №3"})
        c.ok("saveNode", {"model_code": "RNH7", "model_name": "РН-7", "number": 45, "consumer": "Школа №3"})
        # Node names use each model's number of digits.
        self.assertTrue({"ТВ-2 №000123", "РН-7 №0000000045"} <= set(c.ok("getValues", "nodes", "name")))
        self.assertEqual(c.ok("getValues", "Nodes", "Consumer").count("Школа №3"), 1)
        # A node without a consumer and one with an empty one: a single empty value, never "0".
        c.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 124})
        c.ok("saveNode", {"model_code": "QRV2", "model_name": "ТВ-2", "number": 125, "consumer": ""})
        self.assertEqual(sorted(c.ok("getValues", "nodes", "consumer")), ["", "Школа №3"])
        self.assertIn("45", c.ok("getValues", "nodes", "number"))
        self.assertIn("admin", c.ok("getValues", "users", "login"))
