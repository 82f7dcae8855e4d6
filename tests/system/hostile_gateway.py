"""A gateway that answers as a hostile host on the LAN would: SSDP to any search,
a proper description, and a port mapping list of ENTRIES entries (100,000 unless
given), each with an external port of 70000 and a 1 MiB description. Adds succeed
when permanent (a lease is refused with 725, as routers that grant no other do);
the first REFUSE removals are refused (500), the others succeed. Every request is
appended to LOG as "<action> <index>" (a description's fetch as "GET <path>") for the
test to read. CONTROL, when given, is the description's control URL (else /ctl).

python3 hostile_gateway.py ADDRESS HTTP_PORT LOG [ENTRIES [REFUSE [CONTROL]]]"""

import http.server
import socket
import struct
import sys
import threading

ADDRESS, PORT, LOG = sys.argv[1], int(sys.argv[2]), sys.argv[3]
ENTRIES = int(sys.argv[4]) if len(sys.argv) > 4 else 100_000
refuse = [int(sys.argv[5]) if len(sys.argv) > 5 else 0]
CONTROL = sys.argv[6] if len(sys.argv) > 6 else "/ctl"
SERVICE = "urn:schemas-upnp-org:service:WANIPConnection:1"
DESCRIPTION = ("<?xml version=\"1.0\"?><root><device><serviceList><service><serviceType>%s"
               "</serviceType><controlURL>%s</controlURL></service></serviceList></device>"
               "</root>" % (SERVICE, CONTROL)).encode()
ENTRY = ("<?xml version=\"1.0\"?><s:Envelope><s:Body><u:GetGenericPortMappingEntryResponse>"
         "<NewRemoteHost></NewRemoteHost><NewExternalPort>70000</NewExternalPort>"
         "<NewProtocol>TCP</NewProtocol><NewInternalPort>70000</NewInternalPort>"
         "<NewInternalClient>10.0.0.66</NewInternalClient><NewEnabled>1</NewEnabled>"
         "<NewPortMappingDescription>" + "z" * (1 << 20) + "</NewPortMappingDescription>"
         "<NewLeaseDuration>0</NewLeaseDuration></u:GetGenericPortMappingEntryResponse>"
         "</s:Body></s:Envelope>").encode()
FAULT = (b"<s:Envelope><s:Body><s:Fault><detail><UPnPError><errorCode>713</errorCode>"
         b"</UPnPError></detail></s:Fault></s:Body></s:Envelope>")
lock = threading.Lock()


def note(line):
    with lock, open(LOG, "a") as log:
        log.write(line + "\n")


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def answer(self, status, body):
        try:
            self.send_response(status)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(len(body)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            pass  # the client read what it wanted and closed

    def do_GET(self):
        note("GET %s" % self.path)
        self.answer(200, DESCRIPTION)

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode("latin-1")
        action = self.headers.get("SOAPAction", "").strip('"').split("#")[-1]
        index = ""
        if "<NewPortMappingIndex>" in body:
            index = body.split("<NewPortMappingIndex>")[1].split("<")[0]
        note("%s %s" % (action, index))
        if action == "GetGenericPortMappingEntry":
            if int(index) < ENTRIES:
                self.answer(200, ENTRY)
            else:
                self.answer(500, FAULT)
        elif action == "AddPortMapping" and "<NewLeaseDuration>0<" not in body:
            self.answer(500, FAULT.replace(b"713", b"725"))
        elif action == "DeletePortMapping" and refuse[0] > 0:
            refuse[0] -= 1
            self.answer(500, FAULT.replace(b"713", b"501"))
        else:
            self.answer(200, ("<s:Envelope><s:Body><u:%sResponse><NewExternalIPAddress>44.0.0.66"
                              "</NewExternalIPAddress></u:%sResponse></s:Body></s:Envelope>"
                              % (action, action)).encode())


def ssdp():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", 1900))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 struct.pack("4s4s", socket.inet_aton("239.255.255.250"),
                             socket.inet_aton(ADDRESS)))
    reply = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: upnp:rootdevice\r\n"
             "USN: uuid:hostile::upnp:rootdevice\r\nEXT:\r\nSERVER: hostile\r\n"
             "LOCATION: http://%s:%d/desc.xml\r\n\r\n" % (ADDRESS, PORT)).encode()
    while True:
        data, peer = s.recvfrom(4096)
        if data.startswith(b"M-SEARCH"):
            note("M-SEARCH")
            s.sendto(reply, peer)


threading.Thread(target=ssdp, daemon=True).start()
server = http.server.ThreadingHTTPServer((ADDRESS, PORT), Handler)
server.daemon_threads = True
print("ready", flush=True)
server.serve_forever()
