#!/usr/bin/python3
"""Writes the service description (Device.wsdl) from the service header.

    describe_service.py --header ferrolink.h --work DIR --out Device.wsdl

The server speaks RPC/encoded, but what it actually sends and accepts is
exactly what a document/literal (wrapped) description says: a request
element named after the operation with unqualified children, a response
element with unqualified children in declared order, no xsi:type, no
SOAP-ENC:Array, lists as runs of sibling elements. Toolkits understand the
document/literal form far better (repeated elements instead of single RPC
parts, optional members, one-way operations), so that is the form served.

The description is made from the same header the server is generated from,
so the two cannot drift apart:
  1. The header is copied with its style and encoding directives switched
     to document/literal, and GSoapClose (which never answers) made one-way.
  2. soapcpp2 turns the copy into a WSDL; its code output is thrown away.
  3. That WSDL is adjusted: every member and parameter is optional (the
     server reads missing ones as 0 or empty text), the unused SOAP-encoding
     import goes, and a SOAP 1.2 binding and port stand beside the 1.1 ones.
Each step checks that it found what it expects, so a header or generator
change that breaks an assumption stops the build instead of shipping a
wrong description.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import xml.dom.minidom

SOAP11_WSDL = "http://schemas.xmlsoap.org/wsdl/soap/"
SOAP12_WSDL = "http://schemas.xmlsoap.org/wsdl/soap12/"
ENCODING_IMPORT = '<import namespace="http://schemas.xmlsoap.org/soap/encoding/"/>'


class DescriptionError(Exception):
    pass


def replace_once(text: str, pattern: str, repl: str, what: str, flags: int = 0) -> str:
    new, count = re.subn(pattern, repl, text, flags=flags)
    if count != 1:
        raise DescriptionError(f"expected exactly one {what}, found {count}")
    return new


def document_literal_header(header: str) -> str:
    """The service header as a document/literal service with a one-way
    GSoapClose."""
    text = replace_once(header, r"(//gsoap ns service style:\s*)rpc\b", r"\1document",
                        "'service style: rpc' directive")
    text = replace_once(text, r"(//gsoap ns service encoding:\s*)encoded\b", r"\1literal",
                        "'service encoding: encoded' directive")
    # An operation whose last parameter is void has no response message.
    text = replace_once(text, r"(int\s+ns__GSoapClose\s*\([^;]*?),\s*unsigned\s+int\s*&\s*\w+\s*\)",
                        r"\1, void)", "GSoapClose declaration", flags=re.S)
    return text


def run_soapcpp2(header_path: str, work: str) -> str:
    gen = os.path.join(work, "gen")
    shutil.rmtree(gen, ignore_errors=True)
    os.makedirs(gen)
    # -S server side only, -L no library stubs, -x no sample messages,
    # -u no comments in the description.
    result = subprocess.run(["soapcpp2", "-S", "-L", "-x", "-u", "-d", gen,
                             "-I/usr/share/gsoap/import", header_path],
                            capture_output=True, text=True)
    if result.returncode != 0:
        raise DescriptionError(f"soapcpp2 failed:\n{result.stdout}\n{result.stderr}")
    with open(os.path.join(gen, "Device.wsdl"), encoding="utf-8") as f:
        return f.read()


def adjust(wsdl: str, location: str | None = None) -> str:
    # The messages are literal: nothing refers to the SOAP encoding schema.
    wsdl = replace_once(wsdl, re.escape(ENCODING_IMPORT) + r"\s*\n", "", "SOAP-encoding import")

    # Every element declaration becomes optional; lists keep maxOccurs.
    types_start, types_end = wsdl.index("<types>"), wsdl.index("</types>")
    schema = wsdl[types_start:types_end]
    if 'minOccurs="1"' not in schema:
        raise DescriptionError("no required element found to relax")
    schema = schema.replace('minOccurs="1"', 'minOccurs="0"')
    wsdl = wsdl[:types_start] + schema + wsdl[types_end:]

    # A SOAP 1.2 binding: the 1.1 one with the SOAP 1.2 binding namespace.
    wsdl = replace_once(wsdl, rf'(\n\s*xmlns:SOAP="{re.escape(SOAP11_WSDL)}")',
                        rf'\1\n  xmlns:SOAP12="{SOAP12_WSDL}"', "SOAP binding namespace")
    m = re.search(r'<binding name="Device" type="tns:DevicePortType">.*?</binding>\n', wsdl, re.S)
    if m is None:
        raise DescriptionError("no SOAP 1.1 binding found")
    binding12 = m.group(0).replace('<binding name="Device"', '<binding name="Device12"')
    binding12 = re.sub(r"<(/?)SOAP:", r"<\1SOAP12:", binding12)
    wsdl = wsdl[:m.end()] + "\n" + binding12 + wsdl[m.end():]

    m = re.search(r'( *)<port name="Device" binding="tns:Device">\s*'
                  r'<SOAP:address location="([^"]*)"/>\s*</port>\n', wsdl)
    if m is None:
        raise DescriptionError("no SOAP 1.1 port found")
    indent, address = m.group(1), location or m.group(2)
    ports = (f'{indent}<port name="Device" binding="tns:Device">\n'
             f'{indent}  <SOAP:address location="{address}"/>\n{indent}</port>\n'
             f'{indent}<port name="Device12" binding="tns:Device12">\n'
             f'{indent}  <SOAP12:address location="{address}"/>\n{indent}</port>\n')
    wsdl = wsdl[:m.start()] + ports + wsdl[m.end():]
    # What the messages cannot say: how failures and the one-way operation
    # look on the wire. The fault detail is left undeclared (a declared
    # fault would give every operation a new checked exception in some
    # toolkits), so it is told here.
    wsdl = replace_once(
        wsdl, r"<documentation>gSOAP [^<]* generated service definition</documentation>",
        "<documentation>Ferrolink: discovery, monitoring, configuration and firmware "
        "upgrade of managed switches and access points. A failure is answered with a SOAP "
        "fault; when it has a reason, the fault's detail holds one element, reason "
        "(namespace urn:Halvex), with the reason as its text. GSoapClose is one-way: it is answered with HTTP status 202 "
        "and no body, and the server then ends.</documentation>",
        "generated service documentation")

    xml.dom.minidom.parseString(wsdl.encode("utf-8"))  # still well-formed
    return wsdl


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--header", required=True)
    parser.add_argument("--work", required=True, help="scratch folder for soapcpp2")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    try:
        with open(args.header, encoding="utf-8") as f:
            header = f.read()
        os.makedirs(args.work, exist_ok=True)
        doc_header = os.path.join(args.work, "Device.h")
        with open(doc_header, "w", encoding="utf-8") as f:
            f.write(document_literal_header(header))
        wsdl = adjust(run_soapcpp2(doc_header, args.work))
    except DescriptionError as e:
        print(f"describe_service: {e}", file=sys.stderr)
        return 1
    tmp = args.out + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(wsdl)
    os.replace(tmp, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
