#!/usr/bin/env python3
"""Sends one SQL statement to a quilletserver and prints the rows.

    query.py [--host HOST] [--port PORT] SOURCE SQL

SOURCE names a data source of the server's configuration ("demo"), or is
a connection string when it holds "=" (for a server that accepts them).

Uses only the standard library. The answer is read in the Long layout:
each <Row> holds one <Column Name="..."> per column; a NULL comes back as
<Column Name="..." isnull="yes"/>. Rows are printed tab-separated under a
heading line, NULL as an empty field. An error answer prints its
diagnostics on standard error and exits with status 2; a connection
failure exits with status 1.
"""
import argparse
import socket
import sys
import xml.etree.ElementTree as ET
from xml.sax.saxutils import escape


def ask(host, port, request, timeout=60.0, attempts=3):
    """Sends one request document and returns the answer's bytes.

    A reset before the first byte of an answer means the server never read
    the request (a burst of connections overflowed its listen queue), so
    the request is sent again, `attempts` times in all.
    """
    for attempt in range(1, attempts + 1):
        chunks = []
        try:
            with socket.create_connection((host, port), timeout=timeout) as conn:
                conn.sendall(request.encode("utf-8"))
                conn.shutdown(socket.SHUT_WR)  # one request: the server ends the connection
                while True:
                    data = conn.recv(65536)
                    if not data:
                        return b"".join(chunks)
                    chunks.append(data)
        except ConnectionResetError:
            if chunks or attempt == attempts:
                raise


def source_element(source):
    """The element that names where the request runs."""
    if "=" in source:
        return f"<ConnectionString>{escape(source)}</ConnectionString>"
    return f"<DataSource>{escape(source)}</DataSource>"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8895)
    parser.add_argument("source")
    parser.add_argument("sql")
    args = parser.parse_args()

    request = (
        '<?xml version="1.0" encoding="UTF-8"?>\n<Request>\n'
        f"  {source_element(args.source)}\n"
        f"  <Sql>{escape(args.sql)}</Sql>\n"
        "  <Format><Long/></Format>\n</Request>\n"
    )
    try:
        answer = ask(args.host, args.port, request)
    except OSError as e:
        print(f"query.py: {args.host}:{args.port}: {e}", file=sys.stderr)
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
