#include "db/db_error.h"

#include <utility>

#include "platform/text.h"

namespace quorvalmist {

DbError::DbError(int code, std::wstring description)
    : code_(code), description_(std::move(description)), what_(WideToNarrow(description_)) {}

}  // namespace quorvalmist
