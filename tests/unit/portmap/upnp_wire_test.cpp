#include "portmap/upnp_wire.h"

#include <gtest/gtest.h>

namespace {

TEST(UpnpWire, SsdpAnswer) {
  const struct {
    const char* answer;
    const char* location;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nST: x\r\nLocation: http://10.0.0.1:5555/rootDesc.xml\r\n\r\n",
       "http://10.0.0.1:5555/rootDesc.xml"},
      {"HTTP/1.1 404 Not Found\r\nLOCATION: http://10.0.0.1/\r\n\r\n", ""},
      {"NOTIFY * HTTP/1.1\r\nLOCATION: http://10.0.0.1/\r\n\r\n", ""},
      {"HTTP/1.1 200 OK\r\n\r\n", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SsdpLocation(c.answer), c.location) << c.answer;
}

TEST(UpnpWire, Urls) {
  HttpUrl u;
  ASSERT_TRUE(ParseHttpUrl("http://10.0.0.1:5555/rootDesc.xml", &u));
  HttpUrl control;
  ASSERT_TRUE(ControlUrl(u, "/ctl/IPConn", &control));
  EXPECT_EQ(control.host + ":" + std::to_string(control.port) + control.path,
            "10.0.0.1:5555/ctl/IPConn");
  for (const char* bad : {"https://a/", "http://:80/", "http://a:70000/", "http://a:x/",
                          "http://gw.lan/", "http://127.1/", "http://0/", "http://10.0.0.1@127.0.0.1/",
                          "http://10.0.0.1/a b", "http://10.0.0.1/a\r\nX-Injected: 1",
                          "http://10.0.0.1/\x7f", "http://10.0.0.1/\xc3\xa9"}) {
    EXPECT_FALSE(ParseHttpUrl(bad, &u)) << bad;
  }
  // The description's address is the gateway's; a control URL elsewhere is refused,
  // whatever way it writes the host.
  for (const char* elsewhere : {"http://127.0.0.1:5555/ctl", "http://10.0.0.2:5555/ctl",
                                "http://10.0.0.1.example/ctl", "/ctl\r\nHost: x", "/c tl"}) {
    EXPECT_FALSE(ControlUrl(u, elsewhere, &control)) << elsewhere;
  }
  ASSERT_TRUE(ControlUrl(u, "http://10.0.0.1:6000/ctl", &control));
  EXPECT_EQ(control.port, 6000);
  EXPECT_EQ(control.address, 0x0A000001u);
}

// miniupnpd's description names several services; the WAN connection one is ours.
TEST(UpnpWire, Description) {
  const std::string xml =
      "<root><device><serviceList><service><serviceType>urn:schemas-upnp-org:service:"
      "Layer3Forwarding:1</serviceType><controlURL>/ctl/L3F</controlURL></service>"
      "<service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:2</serviceType>"
      "<controlURL>/ctl/IPConn</controlURL></service></serviceList></device></root>";
  IgdService s;
  ASSERT_TRUE(FindIgdService(xml, &s));
  EXPECT_EQ(s.service_type, "urn:schemas-upnp-org:service:WANIPConnection:2");
  EXPECT_EQ(s.control_url, "/ctl/IPConn");
  EXPECT_FALSE(FindIgdService("<root><service><serviceType>x</serviceType></service></root>", &s));
  for (const char* bad : {"WANIPConnection:1\r\nX: y</serviceType><controlURL>/c",
                          "WANIPConnection:1</serviceType><controlURL>/c\r\nX: y"}) {
    EXPECT_FALSE(FindIgdService(std::string("<service><serviceType>urn:x:service:") + bad +
                                    "</controlURL></service>",
                                &s))
        << bad;
  }
}

TEST(UpnpWire, SoapRequestAndAnswers) {
  const std::string body = SoapBody("urn:x:1", "DeletePortMapping",
                                    {{"NewExternalPort", "41813"}, {"NewProtocol", "TCP"}});
  EXPECT_NE(body.find("<u:DeletePortMapping xmlns:u=\"urn:x:1\"><NewExternalPort>41813<"),
            std::string::npos);
  HttpUrl control{"10.0.0.1", 0x0A000001, 5555, "/ctl"};
  const std::string request = SoapRequest(control, "urn:x:1", "DeletePortMapping", body);
  EXPECT_EQ(request.rfind("POST /ctl HTTP/1.1\r\nHost: 10.0.0.1:5555\r\n", 0), 0u);
  EXPECT_NE(request.find("SOAPAction: \"urn:x:1#DeletePortMapping\"\r\n"), std::string::npos);

  const HttpAnswer fault = ParseHttpAnswer(
      "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 9\r\n\r\n<s:Envelope><s:Body><s:Fault>"
      "<detail><UPnPError><errorCode>714</errorCode></UPnPError></detail></s:Fault></s:Body>");
  EXPECT_EQ(fault.status, 500);
  EXPECT_EQ(UpnpErrorCode(fault.body), 714);
  EXPECT_EQ(ParseHttpAnswer("garbage").status, 0);
  EXPECT_TRUE(HttpAnswerComplete("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab"));
  EXPECT_FALSE(HttpAnswerComplete("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nab"));
  EXPECT_FALSE(HttpAnswerComplete("HTTP/1.1 200 OK\r\n\r\nab"));
  // Chunked: a chunk boundary inside an element does not cut it; the last chunk ends it.
  const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::string chunks = "9\r\n<a>10.250\r\n7;x=1\r\n.7.2</a\r\n1\r\n>\r\n";
  EXPECT_FALSE(HttpAnswerComplete(head + chunks));
  EXPECT_TRUE(HttpAnswerComplete(head + chunks + "0\r\n\r\n"));
  EXPECT_EQ(XmlElement(ParseHttpAnswer(head + chunks + "0\r\n\r\n").body, "a"), "10.250.7.2");
  EXPECT_EQ(ParseHttpAnswer(head + "ffffff\r\nabc").body, "abc");
}

// An entry as miniupnpd sends it; and as a hostile gateway does: a port past
// 65535 reads 0 (not 70000 - 65536), a 1 MiB description is cut at 256.
TEST(UpnpWire, MappingEntry) {
  const auto entry = [](const std::string& port, const std::string& description) {
    return "<u:GetGenericPortMappingEntryResponse><NewRemoteHost></NewRemoteHost>"
           "<NewExternalPort>" + port + "</NewExternalPort><NewProtocol>TCP</NewProtocol>"
           "<NewInternalPort>" + port + "</NewInternalPort><NewInternalClient>10.0.0.2"
           "</NewInternalClient><NewEnabled>1</NewEnabled><NewPortMappingDescription>" +
           description + "</NewPortMappingDescription>";
  };
  RouterMapping m = ParseMappingEntry(entry("41813", "zrvd 41813"));
  EXPECT_EQ(m.external_port, 41813);
  EXPECT_EQ(m.internal_port, 41813);
  EXPECT_EQ(m.protocol, "TCP");
  EXPECT_EQ(m.internal_client, "10.0.0.2");
  EXPECT_EQ(m.description, "zrvd 41813");
  m = ParseMappingEntry(entry("70000", std::string(1 << 20, 'z')).substr(0, kMaxUpnpAnswer));
  EXPECT_EQ(m.external_port, 0);
  EXPECT_EQ(m.internal_port, 0);
  EXPECT_EQ(m.description.size(), kMaxRouterText);
  EXPECT_EQ(XmlElement("<a>x &amp; y</a>", "a"), "x & y");
}

}  // namespace
