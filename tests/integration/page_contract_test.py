"""The installed page against the service contract, without a browser: it
is one servable file, and every operation it calls, every parameter it
sends and every element it reads exists in the service header. A misspelt
parameter would not fail at run time: the service skips unknown elements
and the value silently falls back to 0 or empty."""

import os
import re
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
HEADER = os.path.join(ROOT, "server", "service", "ferrolink.h")
PAGE_LIMIT = 512000


def installed(*parts: str) -> str:
    return os.path.join(os.environ["FERRO_DIST"], "tools", "js_client", *parts)


def header_text() -> str:
    with open(HEADER) as f:
        return f.read()


def header_operations() -> dict[str, list[str]]:
    """Operation name -> its request parameter names (the last parameter,
    a reference, is the response)."""
    ops = {}
    for name, params in re.findall(r"int ns__(\w+)\(([^;]*?)\);", header_text(), re.S):
        ops[name] = [p.split()[-1] for p in params.split(",")[:-1] if p.strip()]
    return ops


def class_members(name: str) -> list[str]:
    body = re.search(rf"class {name} \{{(.*?)\}};", header_text(), re.S).group(1)
    return re.findall(r"^\s+[\w:<>,\s]+?\s(\w+);", body, re.M)


def js_without_comments(page: str) -> str:
    return re.sub(r"^\s*//.*$", "", page, flags=re.M)


class PageFileTest(unittest.TestCase):
    def setUp(self):
        with open(installed("index.html"), "rb") as f:
            self.raw = f.read()
        self.page = self.raw.decode("utf-8")

    def test_one_servable_file_beside_its_library(self):
        self.assertLessEqual(len(self.raw), PAGE_LIMIT)
        self.assertNotIn(b"\0", self.raw)
        self.assertIn("<title>CALVORN Ferroview Utility</title>", self.page)
        self.assertNotIn("<!-- include:", self.page)
        self.assertIn('<script src="jquery.js"></script>', self.page)
        # Nothing else may be fetched: the server serves no other file.
        for ref in re.findall(r'(?:src|href)="([^"]+)"', self.page):
            self.assertTrue(ref == "jquery.js" or ref.startswith(("data:", "#")), ref)
        with open(installed("jquery.js"), "rb") as f:
            self.assertIn(b"jQuery", f.read(4096))

    def test_operations_and_parameters_exist_in_the_contract(self):
        ops = header_operations()
        calls = re.findall(r'call(?:Tree)?\("(\w+)"(?:,\s*(\{[^{}]*\}))?', self.page)
        self.assertGreater(len(calls), 20)
        used = set()
        for op, params in calls:
            self.assertIn(op, ops, f"the page calls {op}, which the service does not have")
            used.add(op)
            for key in re.findall(r"(\w+):", params or ""):
                self.assertIn(key, ops[op], f"{op} has no parameter {key}")
        # Everything a user needs is reachable from the page. Traps and
        # device-set outcomes come from the event feed, which hands every
        # client all of them, not from the lists that hand each out once.
        for op in ("EngineLayerStartup", "SetDiscoverToAgents", "GetSwitchInfoList", "GetMonitorStatus",
                   "AddMonitorAgent", "DelMonitorAgent", "SetDeviceCfgEx",
                   "SetFwFilePath", "AddUpgradeAgentEx", "StartUpgrade", "GetUpgradeStatus", "EndUpgrade",
                   "SaveFile", "SaveFileAs", "LoadFile", "GetRefreshTime", "SetRefreshTime",
                   "GetUtilityGroupInterval", "SetUtilityGroupInterval", "GSoapClose"):
            self.assertIn(op, used)
        self.assertNotIn("GetTrapList", used)
        self.assertNotIn("GetOperateResult", used)
        for path in ('"/api/events"', '"/api/inventory"'):
            self.assertIn(path, js_without_comments(self.page))

    def test_agent_description_and_settings_lists_match_the_contract(self):
        js = self.page
        switch_info = re.search(r"var SWITCH_INFO = \((.*?)\)\.split", js, re.S).group(1)
        names = [n.split(":")[0] for n in " ".join(re.findall(r'"([^"]*)"', switch_info)).split()]
        self.assertEqual(names, class_members("ns__SwitchInfo"))
        cfg = re.search(r"var CFG_EX = \((.*?)\)\.split", js, re.S).group(1)
        cfg_names = " ".join(re.findall(r'"([^"]*)"', cfg)).split()
        tail = re.findall(r'"(\w+)"', re.search(r"var CFG_EX_TAIL = \[(.*?)\]", js).group(1))
        self.assertEqual(cfg_names + ["operate"] + tail, header_operations()["SetDeviceCfgEx"])
        # Every setting of the form is an element of the agent description.
        for setting in re.findall(r'\{ name: "(\w+)", label:', js):
            self.assertIn(setting, names)


if __name__ == "__main__":
    unittest.main()
