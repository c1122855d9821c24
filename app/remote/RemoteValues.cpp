#include "app/remote/RemoteValues.h"

#include <limits>

#include "platform/core/LastError.h"

namespace qrv::remote {

namespace {

const Value* At(const Values& values, int index) {
  if (index < 0 || index >= values.size()) return nullptr;
  return &values.Get(index);
}

}  // namespace

void RemoteValues::AddNumber(Values& values, int64_t number) { values.Add()->set_number(number); }

void RemoteValues::AddText(Values& values, const std::string& text) { values.Add()->set_text(text); }

void RemoteValues::AddServer(Values& values, const tagSERVERINFO& server) {
  ServerInfo* info = values.Add()->mutable_server();
  info->set_type(server.type);
  info->set_port(server.port);
  info->set_path(server.path);
  info->set_user(server.user);
  info->set_password(server.password);
}

void RemoteValues::AddProducts(Values& values, const std::vector<tagUPDATETYPE>& products) {
  qrv::remote::Products* list = values.Add()->mutable_products();
  for (const tagUPDATETYPE& record : products) {
    Product* item = list->add_items();
    item->set_product(record.product);
    item->set_product_name(record.productName);
    item->set_pidkey(record.pidkey);
    item->set_version(record.version);
    item->set_latest_version(record.latestVersion);
  }
}

void RemoteValues::AddTexts(Values& values, const std::vector<std::string>& texts) {
  qrv::remote::Texts* list = values.Add()->mutable_texts();
  for (const std::string& text : texts) list->add_items(text);
}

bool RemoteValues::Number(const Values& values, int index, int64_t low, int64_t high, int64_t& out) {
  const Value* value = At(values, index);
  if (value == nullptr || value->kind_case() != Value::kNumber) return false;
  if (value->number() < low || value->number() > high) return false;
  out = value->number();
  return true;
}

bool RemoteValues::Text(const Values& values, int index, std::string& out) {
  const Value* value = At(values, index);
  if (value == nullptr || value->kind_case() != Value::kText) return false;
  out = value->text();
  return true;
}

bool RemoteValues::Server(const Values& values, int index, tagSERVERINFO& out) {
  const Value* value = At(values, index);
  if (value == nullptr || value->kind_case() != Value::kServer) return false;
  const ServerInfo& info = value->server();
  out.type = info.type();
  out.port = info.port();
  out.path = info.path();
  out.user = info.user();
  out.password = info.password();
  return true;
}

bool RemoteValues::Products(const Values& values, int index, std::vector<tagUPDATETYPE>& out) {
  const Value* value = At(values, index);
  if (value == nullptr || value->kind_case() != Value::kProducts) return false;
  const qrv::remote::Products& list = value->products();
  if (static_cast<size_t>(list.items_size()) > kMaxItems) return false;
  std::vector<tagUPDATETYPE> records;
  records.reserve(static_cast<size_t>(list.items_size()));
  for (const Product& item : list.items()) {
    records.push_back({item.product(), item.product_name(), item.pidkey(), item.version(), item.latest_version()});
  }
  out = std::move(records);
  return true;
}

void RemoteValues::AddOutcome(Values& values, bool done) {
  AddNumber(values, done ? 1 : 0);
  AddText(values, done ? std::string() : platform::LastError::Text());
}

bool RemoteValues::Outcome(const Values& values, const std::string& fallback) {
  int64_t done = 0;
  std::string why;
  Number(values, 0, 0, 1, done);
  Text(values, 1, why);
  if (done == 1) return true;
  platform::LastError::Set(why.empty() ? fallback : why);
  return false;
}

bool RemoteValues::Texts(const Values& values, int index, std::vector<std::string>& out) {
  const Value* value = At(values, index);
  if (value == nullptr || value->kind_case() != Value::kTexts) return false;
  const qrv::remote::Texts& list = value->texts();
  if (static_cast<size_t>(list.items_size()) > kMaxItems) return false;
  out.assign(list.items().begin(), list.items().end());
  return true;
}

}  // namespace qrv::remote
