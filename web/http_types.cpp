#include "web/http_types.h"

namespace lumaflash::web {

Response TextResponse(unsigned status, std::string sentence) {
  Response response;
  response.status = status;
  response.contentType = "text/plain; charset=utf-8";
  response.body = std::move(sentence) + "\n";
  return response;
}

std::string TargetPath(const std::string& target) {
  return target.substr(0, target.find('?'));
}

std::string TargetQuery(const std::string& target) {
  const std::size_t mark = target.find('?');
  return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

}  // namespace lumaflash::web
