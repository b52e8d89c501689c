#!/usr/bin/env python3
"""Sends one SQL statement to a quilletserver and prints the rows.

    query.py [--host HOST] [--port PORT] [--tls [--ca FILE]
             [--cert FILE --key FILE] [--insecure]] SOURCE SQL
    query.py --url http://HOST:PORT/query SOURCE SQL

SOURCE names a data source of the server's configuration ("demo"), or is
a connection string when it holds "=" (for a server that accepts them).

Uses only the standard library. The answer is read in the Long layout:
each <Row> holds one <Column Name="..."> per column; a NULL comes back as
<Column Name="..." isnull="yes"/>. Rows are printed tab-separated under a
heading line, NULL as an empty field. An error answer prints its
diagnostics on standard error and exits with status 2; a connection
failure exits with status 1.

With --tls the request goes over TLS (1.2 at least): the server's
certificate must name HOST and be signed by a CA of --ca (a PEM bundle) or
of the system's store; --cert and --key present a client certificate;
--insecure checks nothing (for tests only).

With --url the request is the body of an HTTP POST to that URL (the
server's request port speaks HTTP too); an https:// URL takes the TLS
options.
"""
import argparse
import socket
import urllib.error
import urllib.request
import ssl
import sys
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape


def tls_context(ca=None, cert=None, key=None, insecure=False):
    """A client context: TLS 1.2 at least, the server checked unless insecure."""
    context = ssl.create_default_context(cafile=ca)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if insecure:
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    if cert:
        context.load_cert_chain(cert, key)
    return context


def read_document(conn):
    """Reads one answer document, up to the end of its root element.

    A TLS client cannot half-close its socket, so the server keeps the
    connection for a next request: the answer's end is where its root
    element closes, not where the connection does.
    """
    parser = ET.XMLPullParser(events=("start", "end"))
    chunks, depth = [], 0
    while True:
        data = conn.recv(65536)
        if not data:
            return b"".join(chunks)  # the server closed first (a refused document)
        chunks.append(data)
        parser.feed(data)
        for event, _ in parser.read_events():
            depth += 1 if event == "start" else -1
            if depth == 0:
                return b"".join(chunks)


def ask(host, port, request, timeout=60.0, attempts=3, context=None):
    """Sends one request document and returns the answer's bytes.

    A reset before the first byte of an answer means the server never read
    the request (a burst of connections overflowed its listen queue), so
    the request is sent again, `attempts` times in all. With `context` the
    request goes over TLS.
    """
    for attempt in range(1, attempts + 1):
        chunks = []
        try:
            with socket.create_connection((host, port), timeout=timeout) as raw:
                if context is not None:
                    with context.wrap_socket(raw, server_hostname=host) as conn:
                        conn.sendall(request.encode("utf-8"))
                        return read_document(conn)
                raw.sendall(request.encode("utf-8"))
                raw.shutdown(socket.SHUT_WR)  # one request: the server ends the connection
                while True:
                    data = raw.recv(65536)
                    if not data:
                        return b"".join(chunks)
                    chunks.append(data)
        except ConnectionResetError:
            if chunks or attempt == attempts:
                raise


def ask_http(url, request, timeout=60.0, context=None):
    """POSTs one request document to `url` and returns the answer's bytes.

    An error status (a refused document, a limit) carries the error answer
    as its body: that is the answer.
    """
    post = urllib.request.Request(url, data=request.encode("utf-8"),
                                  headers={"Content-Type": "application/xml"})
    try:
        with urllib.request.urlopen(post, timeout=timeout, context=context) as response:
            return response.read()
    except urllib.error.HTTPError as e:
        return e.read()


def source_element(source):
    """The element that names where the request runs."""
    if "=" in source:
        return f"<ConnectionString>{escape(source)}</ConnectionString>"
    return f"<DataSource>{escape(source)}</DataSource>"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8895)
    parser.add_argument("--url", help="send the request in HTTP to this URL")
    parser.add_argument("--tls", action="store_true", help="speak TLS")
    parser.add_argument("--ca", help="PEM bundle of the CAs to trust")
    parser.add_argument("--cert", help="client certificate (PEM)")
    parser.add_argument("--key", help="its private key (PEM)")
    parser.add_argument("--insecure", action="store_true",
                        help="do not check the server's certificate")
    parser.add_argument("source")
    parser.add_argument("sql")
    args = parser.parse_args()
    https = bool(args.url) and args.url.startswith("https://")
    args.tls = args.tls or https
    if (args.ca or args.cert or args.key or args.insecure) and not args.tls:
        parser.error("--ca, --cert, --key and --insecure need --tls")
    if bool(args.cert) != bool(args.key):
        parser.error("--cert and --key go together")

    request = (
        '<?xml version="1.0" encoding="UTF-8"?>\n<Request>\n'
        f"  {source_element(args.source)}\n"
        f"  <Sql>{escape(args.sql)}</Sql>\n"
        "  <Format><Long/></Format>\n</Request>\n"
    )
    try:
        context = tls_context(args.ca, args.cert, args.key, args.insecure) if args.tls else None
        if args.url:
            answer = ask_http(args.url, request, context=context)
        else:
            answer = ask(args.host, args.port, request, context=context)
    except OSError as e:  # ssl.SSLError and urllib.error.URLError too
        where = args.url or f"{args.host}:{args.port}"
        print(f"query.py: {where}: {e}", file=sys.stderr)
        return 1

    if not answer.strip():
        # A plain client on a TLS port, or a client the server refused.
        print(f"query.py: {args.host}:{args.port}: the server closed the connection "
              "without an answer", file=sys.stderr)
        return 1
    result = ET.fromstring(answer)  # the root element is Result
    if result.get("State") != "00000":
        for diag in result.iter("Diagnostic"):
            state = diag.findtext("State", result.get("State"))
            print(f"{state}: {diag.findtext('Text')}", file=sys.stderr)
        return 2
    rows = result.findall("Row")
    if rows:
        print("\t".join(c.get("Name") for c in rows[0].findall("Column")))
    for row in rows:
        print("\t".join("" if c.get("isnull") == "yes" else (c.text or "")
                        for c in row.findall("Column")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
