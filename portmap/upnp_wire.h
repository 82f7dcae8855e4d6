// The UPnP IGD conversation as text, apart from the sockets that carry it: the
// SSDP search and its answer, the gateway's description, the SOAP requests and
// their answers. A gateway is whoever answers on the LAN: every reader here takes
// bounded input and cuts what it keeps (port_mapping_rules' bounds). Portable.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "portmap/port_mapping_rules.h"

// Bytes read of any one answer (SSDP, description, SOAP); the rest is not read.
constexpr size_t kMaxUpnpAnswer = 64 * 1024;

std::string SsdpSearchRequest();
// The LOCATION header of an SSDP answer ("HTTP/1.1 200 OK" only); empty otherwise.
std::string SsdpLocation(const std::string& answer);

struct HttpUrl {
  std::string host;      // a dotted IPv4 address, four parts
  uint32_t address = 0;  // the same, host order
  uint16_t port = 80;
  std::string path;      // from the first '/', "/" when none
};
// "http://a.b.c.d[:port][/path]"; false for anything else: a name, a short form
// ("127.1", "0"), a path holding a blank, a control byte or a byte past 0x7E
// (it would go verbatim into our request line).
bool ParseHttpUrl(const std::string& url, HttpUrl* out);
// True when `text` is 1 to kMaxRouterText bytes of 0x21-0x7E: what may go into a
// request line or a header we send.
bool PlainToken(const std::string& text);

struct IgdService {
  std::string service_type;  // "urn:schemas-upnp-org:service:WANIPConnection:1", ...
  std::string control_url;   // as written: absolute, or a path
};
// The first WANIPConnection or WANPPPConnection service of a description; false
// when its service type or control URL is not a PlainToken.
bool FindIgdService(const std::string& description, IgdService* out);
// The control URL made absolute against the description's URL; an absolute one
// must name the description's own address (the gateway: no other host is asked).
bool ControlUrl(const HttpUrl& description_url, const std::string& control, HttpUrl* out);

// A SOAP request's body; `args` are (name, value) pairs, values escaped here.
std::string SoapBody(const std::string& service_type, const std::string& action,
                     const std::vector<std::pair<std::string, std::string>>& args);
// The request with its head, over HTTP/1.1 with Connection: close.
std::string SoapRequest(const HttpUrl& control, const std::string& service_type,
                        const std::string& action, const std::string& body);

struct HttpAnswer {
  int status = 0;    // 0 when the head is not an HTTP status line
  std::string body;  // whatever came after the head
};
HttpAnswer ParseHttpAnswer(const std::string& bytes);
// True once the head is in and, where it gives a Content-Length, that much body:
// a gateway that keeps the connection open is not waited for.
bool HttpAnswerComplete(const std::string& bytes);

// The text of the first element named `name` (any prefix), unescaped, cut at
// kMaxRouterText; empty when absent.
std::string XmlElement(const std::string& xml, const std::string& name);
// The UPnP error code of a SOAP fault (713: no such index, 714: no such entry); 0 when none.
int UpnpErrorCode(const std::string& body);
// An entry of GetGenericPortMappingEntry / GetSpecificPortMappingEntry; `external_port`
// and `protocol` come from the request for the latter (pass them), from the answer otherwise.
RouterMapping ParseMappingEntry(const std::string& body);
