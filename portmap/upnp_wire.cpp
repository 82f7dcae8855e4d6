#include "portmap/upnp_wire.h"

#include <cctype>
#include <cstdlib>

#include "portmap/pcp_message.h"
#include "runtime/host_setting.h"

namespace {

bool StartsWithNoCase(const std::string& text, size_t at, const std::string& word) {
  if (text.size() < at + word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[at + i])) !=
        std::tolower(static_cast<unsigned char>(word[i]))) {
      return false;
    }
  }
  return true;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  static const std::pair<const char*, char> kNames[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    bool named = false;
    for (const auto& name : kNames) {
      const size_t length = std::char_traits<char>::length(name.first);
      if (text.compare(i, length, name.first) == 0) {
        out += name.second;
        i += length - 1;
        named = true;
        break;
      }
    }
    if (!named) out += text[i];
  }
  return out;
}

long long Number(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty() || t.size() > 12) return -1;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
  }
  return std::atoll(t.c_str());
}

}  // namespace

std::string SsdpSearchRequest() {
  return "M-SEARCH * HTTP/1.1\r\n"
         "HOST: 239.255.255.250:1900\r\n"
         "MAN: \"ssdp:discover\"\r\n"
         "MX: 2\r\n"
         "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n";
}

std::string SsdpLocation(const std::string& answer) {
  const std::string text = answer.substr(0, kMaxUpnpAnswer);
  const size_t first_end = text.find('\n');
  const std::string first = text.substr(0, first_end);
  if (!StartsWithNoCase(first, 0, "HTTP/1.") || first.find(" 200") == std::string::npos) {
    return "";
  }
  size_t at = first_end;
  while (at != std::string::npos && at < text.size()) {
    const size_t begin = at + 1;
    const size_t end = text.find('\n', begin);
    const std::string line = text.substr(begin, end == std::string::npos ? end : end - begin);
    if (StartsWithNoCase(line, 0, "LOCATION:")) return RouterText(Trim(line.substr(9)));
    at = end;
  }
  return "";
}

bool ParseHttpUrl(const std::string& url, HttpUrl* out) {
  if (!StartsWithNoCase(url, 0, "http://") || url.size() > kMaxRouterText) return false;
  const std::string rest = url.substr(7);
  const size_t slash = rest.find('/');
  const std::string authority = rest.substr(0, slash);
  HttpUrl u;
  u.path = slash == std::string::npos ? "/" : rest.substr(slash);
  const size_t colon = authority.find(':');
  u.host = authority.substr(0, colon);
  if (colon != std::string::npos) {
    if (!ParsePortText(authority.substr(colon + 1), &u.port)) return false;
  }
  // Parsed, not compared as text: the caller checks the address is the gateway's.
  if (!ParseIpv4(u.host, &u.address) || !PlainToken(u.path)) return false;
  u.host = Ipv4Text(u.address);
  *out = u;
  return true;
}

bool PlainToken(const std::string& text) {
  if (text.empty() || text.size() > kMaxRouterText) return false;
  for (char c : text) {
    const unsigned char b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F) return false;
  }
  return true;
}

bool FindIgdService(const std::string& description, IgdService* out) {
  const std::string xml = description.substr(0, kMaxUpnpAnswer);
  size_t at = 0;
  for (;;) {
    const size_t begin = xml.find("<service>", at);
    if (begin == std::string::npos) return false;
    const size_t end = xml.find("</service>", begin);
    if (end == std::string::npos) return false;
    const std::string block = xml.substr(begin, end - begin);
    const std::string type = XmlElement(block, "serviceType");
    if (type.find(":service:WANIPConnection:") != std::string::npos ||
        type.find(":service:WANPPPConnection:") != std::string::npos) {
      out->service_type = type;
      out->control_url = XmlElement(block, "controlURL");
      return PlainToken(type) && PlainToken(out->control_url);
    }
    at = end;
  }
}

bool ControlUrl(const HttpUrl& description_url, const std::string& control, HttpUrl* out) {
  if (StartsWithNoCase(control, 0, "http://")) {
    HttpUrl absolute;
    if (!ParseHttpUrl(control, &absolute) || absolute.address != description_url.address) {
      return false;
    }
    *out = absolute;
    return true;
  }
  const std::string path = control.empty() || control[0] != '/' ? "/" + control : control;
  if (!PlainToken(path)) return false;
  *out = description_url;
  out->path = path;
  return true;
}

std::string SoapBody(const std::string& service_type, const std::string& action,
                     const std::vector<std::pair<std::string, std::string>>& args) {
  std::string body =
      "<?xml version=\"1.0\"?>\r\n"
      "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
      "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
      action + " xmlns:u=\"" + Escape(service_type) + "\">";
  for (const auto& arg : args) {
    body += "<" + arg.first + ">" + Escape(arg.second) + "</" + arg.first + ">";
  }
  return body + "</u:" + action + "></s:Body></s:Envelope>\r\n";
}

std::string SoapRequest(const HttpUrl& control, const std::string& service_type,
                        const std::string& action, const std::string& body) {
  return "POST " + control.path + " HTTP/1.1\r\n" + "Host: " + control.host + ":" +
         std::to_string(control.port) + "\r\n" +
         "Content-Type: text/xml; charset=\"utf-8\"\r\n" + "SOAPAction: \"" + service_type +
         "#" + action + "\"\r\n" + "Content-Length: " + std::to_string(body.size()) + "\r\n" +
         "Connection: close\r\n\r\n" + body;
}

namespace {

// The head says "Transfer-Encoding: chunked".
bool Chunked(const std::string& bytes, size_t head_end) {
  for (size_t at = bytes.find('\n'); at != std::string::npos && at < head_end;
       at = bytes.find('\n', at + 1)) {
    if (StartsWithNoCase(bytes, at + 1, "Transfer-Encoding:")) {
      const size_t end = bytes.find('\r', at + 1);
      const std::string value = Trim(bytes.substr(at + 19, end - at - 19));
      return value.size() >= 7 && StartsWithNoCase(value, value.size() - 7, "chunked");
    }
  }
  return false;
}

// The chunks of `body` joined; `whole` tells whether the last (size 0) came.
// Sizes are hex, with any extension after ';'; what does not read ends the body.
std::string Dechunk(const std::string& body, bool* whole) {
  std::string out;
  *whole = false;
  size_t at = 0;
  while (at < body.size()) {
    const size_t line_end = body.find("\r\n", at);
    if (line_end == std::string::npos) break;
    std::string size_text = body.substr(at, line_end - at);
    size_text = Trim(size_text.substr(0, size_text.find(';')));
    if (size_text.empty() || size_text.size() > 8) break;
    size_t size = 0;
    bool hex = true;
    for (char c : size_text) {
      const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                    : (c >= 'a' && c <= 'f')                   ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F')                   ? c - 'A' + 10
                                                               : -1;
      if (d < 0) hex = false;
      size = size * 16 + static_cast<size_t>(d < 0 ? 0 : d);
    }
    if (!hex) break;
    if (size == 0) {
      *whole = true;
      break;
    }
    const size_t data = line_end + 2;
    if (size > body.size() - data) {
      out.append(body, data, std::string::npos);  // cut at the bound: what came
      break;
    }
    out.append(body, data, size);
    at = data + size + 2;  // past the CR LF that ends the chunk
  }
  return out;
}

}  // namespace

HttpAnswer ParseHttpAnswer(const std::string& bytes) {
  HttpAnswer answer;
  if (!StartsWithNoCase(bytes, 0, "HTTP/1.") || bytes.size() < 12) return answer;
  const long long status = Number(bytes.substr(9, 3));
  answer.status = status >= 100 && status <= 999 ? static_cast<int>(status) : 0;
  const size_t head_end = bytes.find("\r\n\r\n");
  if (head_end != std::string::npos) {
    answer.body = bytes.substr(head_end + 4);
    bool whole = false;
    if (Chunked(bytes, head_end)) answer.body = Dechunk(answer.body, &whole);
  }
  return answer;
}

bool HttpAnswerComplete(const std::string& bytes) {
  const size_t head_end = bytes.find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  if (Chunked(bytes, head_end)) {
    bool whole = false;
    Dechunk(bytes.substr(head_end + 4), &whole);
    return whole;
  }
  for (size_t at = bytes.find('\n'); at != std::string::npos && at < head_end;
       at = bytes.find('\n', at + 1)) {
    if (StartsWithNoCase(bytes, at + 1, "Content-Length:")) {
      const size_t end = bytes.find('\r', at + 1);
      const long long length = Number(bytes.substr(at + 16, end - at - 16));
      return length >= 0 && bytes.size() - head_end - 4 >= static_cast<size_t>(length);
    }
  }
  return false;  // no length given: the end of the connection ends the answer
}

std::string XmlElement(const std::string& xml, const std::string& name) {
  size_t at = 0;
  for (;;) {
    const size_t open = xml.find('<', at);
    if (open == std::string::npos) return "";
    size_t name_at = open + 1;
    const size_t close = xml.find('>', name_at);
    if (close == std::string::npos) return "";
    // <prefix:name> or <name>, no attributes needed by any element we read.
    const std::string tag = xml.substr(name_at, close - name_at);
    const size_t colon = tag.find(':');
    const std::string local = colon == std::string::npos ? tag : tag.substr(colon + 1);
    if (local == name) {
      const size_t end = xml.find("</", close + 1);
      const std::string raw =
          xml.substr(close + 1, (end == std::string::npos ? xml.size() : end) - close - 1);
      return RouterText(Unescape(Trim(raw.substr(0, kMaxRouterText * 6))));
    }
    at = close + 1;
  }
}

int UpnpErrorCode(const std::string& body) {
  const long long code = Number(XmlElement(body, "errorCode"));
  return code > 0 && code < 100000 ? static_cast<int>(code) : 0;
}

namespace {

// A router's port: 0 (nobody's) for anything that is not one.
uint16_t PortOf(const std::string& text) {
  uint16_t port = 0;
  return ParsePortText(text, &port) ? port : 0;
}

}  // namespace

RouterMapping ParseMappingEntry(const std::string& body) {
  RouterMapping m;
  m.external_port = PortOf(XmlElement(body, "NewExternalPort"));
  m.protocol = XmlElement(body, "NewProtocol");
  m.internal_port = PortOf(XmlElement(body, "NewInternalPort"));
  m.internal_client = XmlElement(body, "NewInternalClient");
  m.description = XmlElement(body, "NewPortMappingDescription");
  return m;
}
