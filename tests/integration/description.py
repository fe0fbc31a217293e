"""The published service description (auto/Device.wsdl) as the tests use it:
its schema, and the check that an answer of the server is what the
description promises."""

import copy
import functools
import os

from lxml import etree

WSDL = "http://schemas.xmlsoap.org/wsdl/"
XSD = "http://www.w3.org/2001/XMLSchema"
HALVEX = "urn:Halvex"
ENVELOPES = ("http://schemas.xmlsoap.org/soap/envelope/", "http://www.w3.org/2003/05/soap-envelope")


def wsdl_path() -> str:
    return os.path.join(os.environ["FERRO_DIST"], "auto", "Device.wsdl")


@functools.lru_cache(maxsize=None)
def schema(path: str | None = None) -> etree.XMLSchema:
    """The description's embedded schema, compiled."""
    doc = etree.parse(path or wsdl_path())
    found = doc.findall(f"{{{WSDL}}}types/{{{XSD}}}schema")
    if len(found) != 1:
        raise AssertionError(f"expected one schema in the description, found {len(found)}")
    return etree.XMLSchema(etree.ElementTree(copy.deepcopy(found[0])))


def body_element(message: bytes) -> etree._Element:
    """The one element inside the SOAP Body of a message."""
    root = etree.fromstring(message)
    if etree.QName(root).namespace not in ENVELOPES or etree.QName(root).localname != "Envelope":
        raise AssertionError(f"not a SOAP envelope: {message[:200]!r}")
    body = [e for e in root if etree.QName(e).localname == "Body"]
    children = [e for e in body[0] if isinstance(e.tag, str)] if body else []
    if len(children) != 1:
        raise AssertionError(f"expected one element in the Body: {message[:400]!r}")
    return children[0]


def check_answer(message: bytes) -> None:
    """Raises AssertionError unless the answer's body element is valid under
    the description's schema. Faults belong to the envelope, not to the
    service's schema, and are left alone; so are the envelope's own
    attributes (SOAP-ENV:encodingStyle) on the answer element."""
    element = body_element(message)
    if etree.QName(element).namespace != HALVEX:
        return
    element = copy.deepcopy(element)
    for name in list(element.attrib):
        if etree.QName(name).namespace in ENVELOPES:
            del element.attrib[name]
    s = schema()
    if not s.validate(element):
        errors = "; ".join(f"line {e.line}: {e.message}" for e in s.error_log)
        raise AssertionError(f"answer <{etree.QName(element).localname}> does not match the "
                             f"published description: {errors}")
