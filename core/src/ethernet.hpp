// The link layer shared by GOOSE and Sampled Values: Ethernet II header,
// optional IEEE 802.1Q tag, EtherType and the APPID header.
#pragma once
