#include "trace_names.h"

#include <cstddef>
#include <iterator>

namespace kvel {

namespace {

struct named {
  int value;
  const char* name;
};

constexpr named levels[] = {{0, "IPPROTO_IP"},   {1, "SOL_SOCKET"},   {2, "IPPROTO_IGMP"},
                            {6, "IPPROTO_TCP"},  {17, "IPPROTO_UDP"}, {41, "IPPROTO_IPV6"},
                            {255, "IPPROTO_RAW"}};

constexpr named socket_options[] = {
    {1, "SO_DEBUG"},          {2, "SO_REUSEADDR"},       {3, "SO_TYPE"},
    {4, "SO_ERROR"},          {5, "SO_DONTROUTE"},       {6, "SO_BROADCAST"},
    {7, "SO_SNDBUF"},         {8, "SO_RCVBUF"},          {9, "SO_KEEPALIVE"},
    {10, "SO_OOBINLINE"},     {11, "SO_NO_CHECK"},       {12, "SO_PRIORITY"},
    {13, "SO_LINGER"},        {14, "SO_BSDCOMPAT"},      {15, "SO_REUSEPORT"},
    {20, "SO_RCVTIMEO"},      {21, "SO_SNDTIMEO"},       {29, "SO_TIMESTAMP"},
    {32, "SO_SNDBUFFORCE"},   {33, "SO_RCVBUFFORCE"},    {35, "SO_TIMESTAMPNS"},
    {37, "SO_TIMESTAMPING"},  {63, "SO_TIMESTAMP_NEW"},  {64, "SO_TIMESTAMPNS_NEW"}};

constexpr named ip_options[] = {
    {1, "IP_TOS"},                  {2, "IP_TTL"},
    {4, "IP_OPTIONS"},              {10, "IP_MTU_DISCOVER"},
    {11, "IP_RECVERR"},             {12, "IP_RECVTTL"},
    {14, "IP_MTU"},                 {21, "IP_MINTTL"},
    {22, "IP_NODEFRAG"},            {32, "IP_MULTICAST_IF"},
    {33, "IP_MULTICAST_TTL"},       {34, "IP_MULTICAST_LOOP"},
    {35, "IP_ADD_MEMBERSHIP"},      {36, "IP_DROP_MEMBERSHIP"},
    {37, "IP_UNBLOCK_SOURCE"},      {39, "IP_ADD_SOURCE_MEMBERSHIP"},
    {40, "IP_DROP_SOURCE_MEMBERSHIP"}, {41, "IP_MSFILTER"},
    {49, "IP_MULTICAST_ALL"}};

constexpr named tcp_options[] = {
    {1, "TCP_NODELAY"},       {2, "TCP_MAXSEG"},        {3, "TCP_CORK"},
    {4, "TCP_KEEPIDLE"},      {5, "TCP_KEEPINTVL"},     {6, "TCP_KEEPCNT"},
    {7, "TCP_SYNCNT"},        {8, "TCP_LINGER2"},       {10, "TCP_WINDOW_CLAMP"},
    {11, "TCP_INFO"},         {12, "TCP_QUICKACK"},     {13, "TCP_CONGESTION"},
    {14, "TCP_MD5SIG"},       {18, "TCP_USER_TIMEOUT"}, {23, "TCP_FASTOPEN"},
    {30, "TCP_FASTOPEN_CONNECT"}};

constexpr named udp_options[] = {{1, "UDP_CORK"}, {103, "UDP_SEGMENT"}};

struct level_options {
  int level;
  const named* options;
  size_t count;
  const char* fallback;
};

constexpr level_options option_tables[] = {
    {1, socket_options, std::size(socket_options), "SOL_SOCKET unknown"},
    {0, ip_options, std::size(ip_options), "IPPROTO_IP unknown"},
    {6, tcp_options, std::size(tcp_options), "IPPROTO_TCP unknown"},
    {17, udp_options, std::size(udp_options), "IPPROTO_UDP unknown"}};

const char* find(const named* table, size_t count, int value, const char* fallback) {
  for (size_t i = 0; i < count; ++i)
    if (table[i].value == value) return table[i].name;
  return fallback;
}

}  // namespace

const char* level_name(int level) {
  return find(levels, std::size(levels), level, "UNKNOWN");
}

const char* option_name(int level, int option) {
  for (const level_options& t : option_tables)
    if (t.level == level) return find(t.options, t.count, option, t.fallback);
  return "";
}

}  // namespace kvel
