#include "service/http/faults.h"

#include <cjson/cJSON.h>

#include <chrono>
#include <memory>
#include <thread>

#include "common/owned_json.h"

namespace zelmic {

void FaultScript::push(const std::string& endpoint, ScriptedAnswer answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_[endpoint].push_back(std::move(answer));
}

std::optional<ScriptedAnswer> FaultScript::take(const std::string& endpoint) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = queued_.find(endpoint);
  if (it == queued_.end() || it->second.empty()) return std::nullopt;
  ScriptedAnswer answer = std::move(it->second.front());
  it->second.pop_front();
  return answer;
}

bool FaultScript::pending(const std::string& endpoint) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = queued_.find(endpoint);
  return it != queued_.end() && !it->second.empty();
}

void FaultScript::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  queued_.clear();
}

std::optional<MHD_Result> ServeScripted(MHD_Connection* connection, const ScriptedAnswer& answer) {
  switch (answer.kind) {
    case ScriptedAnswer::Kind::Drop:
      return MHD_NO;
    case ScriptedAnswer::Kind::Stall:
      std::this_thread::sleep_for(std::chrono::milliseconds(answer.stall_ms));
      return std::nullopt;
    case ScriptedAnswer::Kind::Redirect:
    case ScriptedAnswer::Kind::Status:
      break;
  }
  const bool redirect = answer.kind == ScriptedAnswer::Kind::Redirect;
  const std::string& body = redirect ? std::string() : answer.body;
  std::unique_ptr<MHD_Response, decltype(&MHD_destroy_response)> response(
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                      MHD_RESPMEM_MUST_COPY),
      &MHD_destroy_response);
  if (!response) return MHD_NO;
  unsigned status = answer.status;
  if (redirect) {
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_LOCATION, answer.location.c_str());
    status = MHD_HTTP_FOUND;
  } else if (answer.server_header) {
    MHD_add_response_header(response.get(), "X-SERVER", answer.server_header->c_str());
  }
  return MHD_queue_response(connection, status, response.get());
}

namespace {

std::string StringMember(const cJSON* root, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, name);
  return cJSON_IsString(item) ? std::string(item->valuestring) : std::string();
}

}  // namespace

Status ParseScriptedAnswer(const std::string& json, std::string& endpoint, ScriptedAnswer& answer) {
  const plumet_common::JsonPtr root(cJSON_ParseWithLength(json.data(), json.size()));
  if (!cJSON_IsObject(root.get())) {
    return Status::Error("the script is not a JSON object");
  }
  endpoint = StringMember(root.get(), "endpoint");
  if (endpoint.empty()) {
    return Status::Error("\"endpoint\" is missing");
  }
  const std::string kind = StringMember(root.get(), "kind");
  answer = ScriptedAnswer{};
  if (kind.empty() || kind == "status") {
    answer.kind = ScriptedAnswer::Kind::Status;
  } else if (kind == "redirect") {
    answer.kind = ScriptedAnswer::Kind::Redirect;
  } else if (kind == "stall") {
    answer.kind = ScriptedAnswer::Kind::Stall;
  } else if (kind == "drop") {
    answer.kind = ScriptedAnswer::Kind::Drop;
  } else {
    return Status::Error("unknown \"kind\": " + kind);
  }
  const cJSON* status = cJSON_GetObjectItemCaseSensitive(root.get(), "status");
  if (cJSON_IsNumber(status)) {
    if (status->valueint < 100 || status->valueint > 599) {
      return Status::Error("\"status\" must be between 100 and 599");
    }
    answer.status = static_cast<unsigned>(status->valueint);
  }
  answer.body = StringMember(root.get(), "body");
  const cJSON* server = cJSON_GetObjectItemCaseSensitive(root.get(), "server");
  if (cJSON_IsString(server)) answer.server_header = server->valuestring;
  answer.location = StringMember(root.get(), "location");
  if (answer.kind == ScriptedAnswer::Kind::Redirect && answer.location.empty()) {
    return Status::Error("a redirect needs \"location\"");
  }
  const cJSON* stall = cJSON_GetObjectItemCaseSensitive(root.get(), "stall_ms");
  if (cJSON_IsNumber(stall)) {
    if (stall->valueint < 0 || stall->valueint > 600000) {
      return Status::Error("\"stall_ms\" must be between 0 and 600000");
    }
    answer.stall_ms = static_cast<unsigned>(stall->valueint);
  }
  return Status::OK();
}

}  // namespace zelmic
