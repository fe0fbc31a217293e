"""The SOAP wire contract, checked byte-level over real TCP: every operation
in SOAP 1.1 and 1.2, encodingStyle placement, headers, faults and defaults."""

import glob
import os
import re
import shutil
import socket
import time
import unittest

import description
import wire

# Operation -> root element of its answer.
OPERATIONS = {
    "GetSwitchInfoList": "SwitchInfoList",
    "SetDiscoverToAgents": "SetDiscoverToAgentsResponse",
    "GetReqXmlList": "ReqXmlList",
    "GetReqXmlFile": "GetReqXmlFileResponse",
    "SetUtilityGroupInterval": "SetUtilityGroupIntervalResponse",
    "GetUtilityGroupInterval": "GetUtilityGroupIntervalResponse",
    "SetRefreshTime": "SetRefreshTimeResponse",
    "GetRefreshTime": "GetRefreshTimeResponse",
    "GetRefreshTimeEx": "GetRefreshTimeExResponse",
    "SetTrapHwnd": "SetTrapHwndResponse",
    "GetTrapList": "TrapList",
    "AddMonitorAgent": "AddMonitorAgentResponse",
    "DelMonitorAgent": "DelMonitorAgentResponse",
    "GetMonitorStatus": "MonitorList",
    "AddUpgradeAgent": "AddUpgradeAgentResponse",
    "SetFwFilePath": "SetFwFilePathResponse",
    "StartUpgrade": "StartUpgradeResponse",
    "EndUpgrade": "EndUpgradeResponse",
    "GetUpgradeStatus": "UpgradeInfo",
    "GetUpgradingAgent": "UpgradeAddr",
    "SetDeviceCfg": "SetDeviceCfgResponse",
    "GetOperateResult": "OperateList",
    "EngineLayerStartup": "EngineLayerStartupResponse",
    "SaveFile": "SaveFileResponse",
    "SaveFileAs": "SaveFileAsResponse",
    "LoadFile": "MonitorList",
    "AddUpgradeAgentEx": "AddUpgradeAgentExResponse",
    "SetDeviceCfgEx": "SetDeviceCfgExResponse",
}

# Operations that need state the sample requests do not create (a queued
# upload, a known agent): answered with a fault here.
NEED_STATE = {"StartUpgrade", "GetUpgradeStatus", "AddUpgradeAgentEx", "SetDeviceCfgEx",
              "AddMonitorAgent"}

PREFIXES = {
    1: (wire.SOAP11_ENV, wire.SOAP11_ENC),
    2: (wire.SOAP12_ENV, wire.SOAP12_ENC),
}


def sample_request(operation: str) -> bytes:
    """The sample request that the build publishes in auto/ for `operation`."""
    path = os.path.join(wire.dist_dir(), "auto", f"Device.{operation}.req.xml")
    with open(path, "rb") as f:
        return f.read()


def as_soap12(body: bytes) -> bytes:
    return body.replace(wire.SOAP11_ENV.encode(), wire.SOAP12_ENV.encode()).replace(
        wire.SOAP11_ENC.encode(), wire.SOAP12_ENC.encode())


class ContractTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = wire.Server()
        # The sample requests are looked up below the working folder.
        shutil.copytree(os.path.join(wire.dist_dir(), "auto"), os.path.join(cls.server.cwd, "auto"))
        cls.server.start()
        # The engine runs on the namespace's dummy network, so that every
        # operation (a discovery too) has what it needs to succeed.
        assert "<errorcode>0</errorcode>" in wire.call("EngineLayerStartup").text
        deadline = time.monotonic() + 10
        while "<SOAP-ENV:Fault>" in wire.call("SetDiscoverToAgents").text:
            assert time.monotonic() < deadline, "the engine opened no socket"
            time.sleep(0.1)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def assert_envelope(self, resp: wire.Response, version: int, root: str) -> str:
        env, enc = PREFIXES[version]
        self.assertEqual(resp.status_line, "HTTP/1.1 200 OK", resp.raw[:300])
        text = resp.text
        self.assertTrue(text.startswith('<?xml version="1.0" encoding="UTF-8"?>\n<SOAP-ENV:Envelope'))
        for prefix, ns in (("SOAP-ENV", env), ("SOAP-ENC", enc),
                           ("xsi", "http://www.w3.org/2001/XMLSchema-instance"),
                           ("xsd", "http://www.w3.org/2001/XMLSchema"), ("ns", "urn:Halvex")):
            self.assertIn(f'xmlns:{prefix}="{ns}"', text)
        body = re.search(r"<SOAP-ENV:Body([^>]*)>(.*)</SOAP-ENV:Body>", text, re.S)
        self.assertIsNotNone(body, text)
        first = re.match(r"<ns:(\w+)([^>]*)>", body.group(2))
        self.assertIsNotNone(first, text)
        self.assertEqual(first.group(1), root)
        style = f'SOAP-ENV:encodingStyle="{enc}"'
        if version == 1:
            self.assertIn(style, body.group(1))
            self.assertNotIn(style, first.group(2))
        else:
            self.assertNotIn("encodingStyle", body.group(1))
            self.assertIn(style, first.group(2))
        self.assertNotIn("xsi:type", text)
        self.assertNotIn("href=", text)
        self.assertNotIn("SOAP-ENC:Array", text)
        return body.group(2)

    def test_every_operation_in_both_versions(self):
        for op, root in OPERATIONS.items():
            for version in (1, 2):
                with self.subTest(op=op, version=version):
                    if op == "AddUpgradeAgent":  # an agent can be queued only once
                        wire.post(sample_request("EndUpgrade"))
                    req = sample_request(op)
                    if op == "GetReqXmlFile":  # the sample names no file
                        req = req.replace(b"<strXmlName></strXmlName>",
                                          b"<strXmlName>Device.GSoapClose.req.xml</strXmlName>")
                    ctype = "text/xml" if version == 1 else "application/soap+xml"
                    resp = wire.post(req if version == 1 else as_soap12(req), ctype)
                    if op in NEED_STATE:
                        # The sample names no known agent, upload or address: the
                        # operation's own fault.
                        self.assertIn("<SOAP-ENV:Fault>", resp.text)
                        self.assertIn("message transfer interrupted", wire.fault_string(resp))
                        continue
                    self.assert_envelope(resp, version, root)
                    self.assertNotIn("<SOAP-ENV:Header", resp.text)

    def test_defaults_and_empty_lists(self):
        body = self.assert_envelope(wire.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>"), 1,
                                    "SwitchInfoList")
        self.assertEqual(
            body, "<ns:SwitchInfoList><nErrorCode>0</nErrorCode><nSwitchNum>0</nSwitchNum>"
            "</ns:SwitchInfoList>")
        body = self.assert_envelope(wire.call("GetReqXmlList"), 1, "ReqXmlList")
        self.assertEqual(body.count("<ReqXml>"), len(OPERATIONS) + 1)
        wire.call("EndUpgrade")
        wire.call("AddUpgradeAgent", "<vecSwitchInfo><macAddr>00-11-22-33-44-55</macAddr></vecSwitchInfo>")
        body = self.assert_envelope(
            wire.call("GetUpgradeStatus", "<strMacAddr>00-11-22-33-44-55</strMacAddr>", version=2), 2,
            "UpgradeInfo")
        # A nested SwitchInfo is written whole, with every element present.
        self.assertEqual(len(re.findall(r"<[A-Za-z]", body)), 1 + 7 + 77)
        self.assertIn("<systemName/>", body)

    def test_parameters_may_be_missing_reordered_or_unknown(self):
        for children in ("", "<strUserName>x</strUserName><nUserID>5</nUserID>",
                         "<bogus>1</bogus><nUserID>1</nUserID>"):
            with self.subTest(children=children):
                self.assert_envelope(wire.call("GetRefreshTime", children), 1, "GetRefreshTimeResponse")

    def test_header_is_echoed_empty_only_when_sent(self):
        for version in (1, 2):
            text = wire.call("GetRefreshTime", version=version, header=True).text
            self.assertIn("<SOAP-ENV:Header></SOAP-ENV:Header><SOAP-ENV:Body", text)
            self.assertNotIn("<SOAP-ENV:Header", wire.call("GetRefreshTime", version=version).text)

    def test_unknown_operation_faults_then_service_goes_on(self):
        for version, code in ((1, "<faultcode>SOAP-ENV:Client</faultcode>"),
                              (2, "<SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>")):
            resp = wire.call("NoSuchOperation", version=version)
            self.assertIn("<SOAP-ENV:Fault>", resp.text)
            self.assertIn(code, resp.text)
            self.assert_envelope(wire.call("GetRefreshTimeEx", version=version), version,
                                 "GetRefreshTimeExResponse")

    def test_failure_fault_carries_a_reason(self):
        # Same code and string for every failure; the detail says why, in
        # one line, with the caller's text escaped, as the text of one
        # element in the service's namespace (toolkits that hand the detail
        # over as a list of elements see no bare text).
        for version, code, detail in (
                (1, "<faultcode>SOAP-ENV:Client</faultcode>", "<detail><ns:reason>"),
                (2, "<SOAP-ENV:Value>SOAP-ENV:Sender</SOAP-ENV:Value>",
                 "<SOAP-ENV:Detail><ns:reason>")):
            with self.subTest(version=version):
                resp = wire.call("GetMonitorStatus", "<monitorNum>7</monitorNum>", version=version)
                self.assertIn(code, resp.text)
                self.assertIn(detail, resp.text)
                self.assertEqual(wire.fault_string(resp),
                                 "End of file or no input: message transfer interrupted")
                self.assertEqual(wire.fault_detail(resp),
                                 "monitorNum 7 asks for more agents than are watched (0)")
        wire.call("DelMonitorAgent", "<strIpAddress>10.250.0.77</strIpAddress>")
        wire.call("AddMonitorAgent", "<strIpAddress>10.250.0.77</strIpAddress>")
        resp = wire.call("AddMonitorAgent", "<strIpAddress>10.250.0.77&lt;&amp;</strIpAddress>")
        self.assertEqual(wire.fault_detail(resp), '"10.250.0.77<&" is not an IPv4 address '
                                                  '(four numbers of 0 to 255 joined by ".")')
        resp = wire.call("AddMonitorAgent", "<strIpAddress>10.250.0.77</strIpAddress>")
        self.assertEqual(wire.fault_detail(resp), "address 10.250.0.77 is already watched")
        wire.call("DelMonitorAgent", "<strIpAddress>10.250.0.77</strIpAddress>")

    def test_unreadable_requests_get_a_fault_at_once(self):
        env = wire.SOAP11_ENV
        cases = {
            "unbalanced": f'<e:Envelope xmlns:e="{env}"><e:Body><h:GetRefreshTime xmlns:h="urn:Halvex">'
                          f"</e:Body>".encode(),
            "plain text": b"hello there",
            "other xml": b"<foo><bar/></foo>",
            "empty": b"",
            "truncated": wire.envelope("GetRefreshTime")[:-20],
        }
        for name, body in cases.items():
            with self.subTest(name):
                start = time.monotonic()
                resp = wire.post(body)
                self.assertLess(time.monotonic() - start, 3)
                self.assertIn("<SOAP-ENV:Fault>", resp.text)
                self.assertTrue(resp.status_line.startswith("HTTP/1.1 "))
        self.assert_envelope(wire.call("GetRefreshTime"), 1, "GetRefreshTimeResponse")

    def test_body_shorter_than_claimed(self):
        # The client claims more than it sends and then half-closes: the
        # request can never complete, so it is refused, never run half-read.
        # A whole request followed by a half-close is served as usual.
        body = wire.envelope("GetRefreshTime")
        for claimed, status in ((len(body) + 50, "HTTP/1.1 400 Bad Request"),
                                (len(body), "HTTP/1.1 200 OK")):
            with socket.create_connection(("127.0.0.1", wire.SERVICE_PORT), timeout=5) as s:
                s.sendall(b"POST / HTTP/1.1\r\nContent-Length: %d\r\n\r\n" % claimed + body)
                s.shutdown(socket.SHUT_WR)
                resp = wire.Response(b"".join(iter(lambda: s.recv(65536), b"")))
            self.assertEqual(resp.status_line, status)

    def test_chunked_request(self):
        body = wire.envelope("GetUtilityGroupInterval")
        chunked = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 50]), body[i:i + 50])
                           for i in range(0, len(body), 50)) + b"0\r\n\r\n"
        raw = wire.exchange(b"POST / HTTP/1.1\r\nContent-Type: text/xml\r\n"
                            b"Transfer-Encoding: chunked\r\n\r\n" + chunked)
        self.assert_envelope(wire.Response(raw), 1, "GetUtilityGroupIntervalResponse")

    def test_identity_coding_and_continue(self):
        body = wire.envelope("GetRefreshTime")
        raw = wire.exchange(b"POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\n"
                            b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.assert_envelope(wire.Response(raw), 1, "GetRefreshTimeResponse")
        # "100 Continue" comes before the body is sent, then the answer.
        with socket.create_connection(("127.0.0.1", wire.SERVICE_PORT), timeout=5) as s:
            s.sendall(b"POST / HTTP/1.1\r\nExpect: 100-continue\r\n"
                      b"Content-Length: %d\r\n\r\n" % len(body))
            self.assertEqual(s.recv(100), b"HTTP/1.1 100 Continue\r\n\r\n")
            s.sendall(body)
            resp = wire.Response(b"".join(iter(lambda: s.recv(65536), b"")))
        self.assert_envelope(resp, 1, "GetRefreshTimeResponse")

    def test_utf8_passes_through(self):
        # A text parameter full of non-ASCII bytes is taken as is: here it
        # names a sample file.
        name = "Größe-名前-😀.req.xml"
        with open(os.path.join(self.server.cwd, "auto", name), "w", encoding="utf-8") as f:
            f.write("<x>ü</x>")
        resp = wire.call("GetReqXmlFile", f"<strXmlName>{name}</strXmlName>")
        self.assertIn("&lt;x&gt;ü&lt;/x&gt;", self.assert_envelope(resp, 1, "GetReqXmlFileResponse"))

    def test_list_of_agents_as_repeated_elements(self):
        wire.call("EndUpgrade")
        resp = wire.call("AddUpgradeAgent", "".join(
            f"<vecSwitchInfo><macAddr>00-11-22-33-44-5{i}</macAddr></vecSwitchInfo>"
            for i in range(3)))
        self.assert_envelope(resp, 1, "AddUpgradeAgentResponse")

    def test_served_description_is_document_literal(self):
        # What standard toolkits need: a request element per operation, all
        # members optional, lists as repeated elements, GSoapClose one-way,
        # and a SOAP 1.2 binding beside the 1.1 one, both document/literal.
        from lxml import etree

        resp = wire.get("/Device.wsdl")
        with open(description.wsdl_path(), "rb") as f:
            self.assertEqual(resp.body, f.read().replace(b"\r\n", b"\n"))
        doc = etree.fromstring(resp.body)
        ns = {"w": description.WSDL, "x": description.XSD,
              "s11": "http://schemas.xmlsoap.org/wsdl/soap/",
              "s12": "http://schemas.xmlsoap.org/wsdl/soap12/"}
        port_type = doc.find("w:portType", ns)
        operations = {op.get("name"): op for op in port_type.findall("w:operation", ns)}
        self.assertEqual(set(operations), set(OPERATIONS) | {"GSoapClose"})
        self.assertIsNone(operations["GSoapClose"].find("w:output", ns))
        for name, op in operations.items():
            if name != "GSoapClose":
                self.assertIsNotNone(op.find("w:output", ns), name)
        for prefix in ("s11", "s12"):
            binding = doc.find(f"w:binding/{prefix}:binding/..", ns)
            self.assertIsNotNone(binding, prefix)
            self.assertEqual(binding.find(f"{prefix}:binding", ns).get("style"), "document")
            uses = {b.get("use") for b in binding.iter(f"{{{ns[prefix]}}}body")}
            self.assertEqual(uses, {"literal"})
        schema = doc.find("w:types/x:schema", ns)
        self.assertEqual(schema.get("elementFormDefault"), "unqualified")
        elements = list(schema.iter(f"{{{description.XSD}}}element"))
        locals_ = [e for e in elements if e.getparent().tag != f"{{{description.XSD}}}schema"]
        self.assertEqual({e.get("minOccurs") for e in locals_}, {"0"})
        lists = {e.get("name") for e in locals_ if e.get("maxOccurs") == "unbounded"}
        self.assertEqual(lists, {"arrList", "ReqXml", "vecSwitchInfo"})
        request = schema.find("x:element[@name='GetReqXmlList']", ns)
        self.assertIsNotNone(request)  # an empty request is still an element

    def test_answers_are_checked_against_the_description(self):
        # Every answer a test receives passes this check (wire.post); a
        # drift between the wire and the description must fail it.
        good = wire.call("GetSwitchInfoList", "<monitorNum>0</monitorNum>").body
        description.check_answer(good)
        swapped = good.replace(b"<nErrorCode>0</nErrorCode><nSwitchNum>0</nSwitchNum>",
                               b"<nSwitchNum>0</nSwitchNum><nErrorCode>0</nErrorCode>")
        unknown = good.replace(b"<nSwitchNum>0</nSwitchNum>", b"<nSwitchNum>0</nSwitchNum><x>1</x>")
        wrong_type = good.replace(b"<nSwitchNum>0</nSwitchNum>", b"<nSwitchNum>many</nSwitchNum>")
        for bad in (swapped, unknown, wrong_type):
            self.assertNotEqual(bad, good)
            with self.assertRaises(AssertionError):
                description.check_answer(bad)

    def test_published_samples_cover_every_operation(self):
        names = {os.path.basename(p)[len("Device."):-len(".req.xml")]
                 for p in glob.glob(os.path.join(wire.dist_dir(), "auto", "*.req.xml"))}
        self.assertEqual(names, set(OPERATIONS) | {"GSoapClose"})


if __name__ == "__main__":
    unittest.main()
