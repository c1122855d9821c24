#!/usr/bin/python3
"""serve.py TREE_DIR PORT

The demo's update server, on the loopback interface only:

  any path ending in AUpdate70.jsp   the update service: a one-line page that
                                     names http://127.0.0.1:PORT/updates/ as
                                     the download location, whatever the query
  /updates/<path>                    the file TREE_DIR/<path> (GET and HEAD)
  anything else                      404

PORT 0 lets the kernel pick a free port. Either way the port in use is the
first line on standard output, flushed at once, so a caller can read it
before the first request. Every request is logged to standard error. SIGTERM
(or SIGINT) ends the server with exit status 0.

Only the Python standard library is used, so nothing needs installing.
"""

import http.server
import os
import posixpath
import signal
import socketserver
import sys
import urllib.parse

SERVICE_ENDPOINT = "AUpdate70.jsp"
FILES_PREFIX = "/updates/"
CHUNK = 64 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    # HTTP/1.1 keeps the connection open between files, as the updater's
    # client expects; every reply therefore carries its length.
    protocol_version = "HTTP/1.1"
    server_version = "QorvaneDemoServer/1.0"

    def do_GET(self):
        self.reply(with_body=True)

    def do_HEAD(self):
        self.reply(with_body=False)

    def reply(self, with_body):
        path = urllib.parse.urlsplit(self.path).path
        if path.endswith(SERVICE_ENDPOINT):
            port = self.server.server_address[1]
            page = ("<html><body><$URL_DOWNLOAD$>http://127.0.0.1:%d%s<$/URL_DOWNLOAD$></body></html>\r\n"
                    % (port, FILES_PREFIX)).encode("ascii")
            self.send_bytes(200, "text/html", page, with_body)
            return
        # The client collapses backslashes to '/', but a doubled slash can
        # still arrive when a base URL ending in '/' is joined with another.
        decoded = urllib.parse.unquote(path)
        while "//" in decoded:
            decoded = decoded.replace("//", "/")
        if decoded == FILES_PREFIX.rstrip("/") or decoded == FILES_PREFIX:
            # The updater probes the folder itself to see that the server
            # answers; a small listing-free page is enough.
            self.send_bytes(200, "text/plain", b"Qorvane demo update folder\r\n", with_body)
            return
        if not decoded.startswith(FILES_PREFIX):
            self.send_bytes(404, "text/plain", b"not found\r\n", with_body)
            return
        local = self.local_path(decoded[len(FILES_PREFIX):])
        if local is None or not os.path.isfile(local):
            self.send_bytes(404, "text/plain", b"not found\r\n", with_body)
            return
        try:
            f = open(local, "rb")
        except OSError as e:
            self.send_bytes(403, "text/plain", ("cannot read: %s\r\n" % e.strerror).encode(), with_body)
            return
        with f:
            size = os.fstat(f.fileno()).st_size
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            if with_body:
                while True:
                    chunk = f.read(CHUNK)
                    if not chunk:
                        break
                    self.wfile.write(chunk)

    def local_path(self, relative):
        """TREE_DIR joined with relative, or None when it would leave TREE_DIR
        (through "..", or through a symbolic link pointing out)."""
        root = self.server.tree
        normal = posixpath.normpath("/" + relative).lstrip("/")
        if not normal or normal.startswith(".."):
            return None
        candidate = os.path.realpath(os.path.join(root, normal))
        if candidate != root and not candidate.startswith(root + os.sep):
            return None
        return candidate

    def send_bytes(self, status, content_type, body, with_body):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if with_body:
            self.wfile.write(body)

    def log_message(self, format, *args):
        sys.stderr.write("serve.py: %s %s\n" % (self.address_string(), format % args))
        sys.stderr.flush()


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that hangs up early (as the updater's does when it gives
        # up on a file) is worth one line, not a traceback.
        error = sys.exc_info()[1]
        sys.stderr.write("serve.py: %s: %s\n" % (client_address[0], error))
        sys.stderr.flush()

    def __init__(self, port, tree):
        # The address is fixed: the demo server never listens beyond loopback.
        super().__init__(("127.0.0.1", port), Handler)
        self.tree = tree


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: serve.py TREE_DIR PORT\n")
        return 2
    tree = os.path.realpath(argv[1])
    if not os.path.isdir(tree):
        sys.stderr.write("serve.py: %s is not a folder\n" % argv[1])
        return 2
    try:
        port = int(argv[2])
        if not 0 <= port <= 65535:
            raise ValueError
    except ValueError:
        sys.stderr.write("serve.py: the port %r is not a number from 0 to 65535\n" % argv[2])
        return 2
    try:
        server = Server(port, tree)
    except OSError as e:
        sys.stderr.write("serve.py: cannot listen on 127.0.0.1:%d: %s\n" % (port, e.strerror))
        return 1

    def stop(signum, frame):
        # Raising here leaves serve_forever() at once; shutdown() would wait
        # for the loop that this very thread is running.
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print(server.server_address[1], flush=True)
    sys.stderr.write("serve.py: serving %s at http://127.0.0.1:%d%s\n" % (tree, server.server_address[1], FILES_PREFIX))
    sys.stderr.flush()
    try:
        server.serve_forever()
    except SystemExit:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
