# The install test's update server: serves FOLDER over HTTPS on port 443 with CERT and KEY.
#   python3 https-server.py FOLDER CERT KEY
import functools
import http.server
import ssl
import sys

folder, cert, key = sys.argv[1:4]
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=folder)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 443), handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
