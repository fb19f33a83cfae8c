// Writes the in-memory postings of a segment: sorts every recorded term by
// (field, ordered JSON path, term bytes) and replays each field's run into
// the field's FieldSerializer, fields in increasing order. JSON paths are
// ordered by their bytes; fields without any term get no serializer.
#pragma once

#include <memory>
#include <vector>

#include "fulltext/error/error.h"
#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/indexer/segment_serializer.h"
#include "fulltext/postings/postings_writer.h"
#include "fulltext/schema/schema.h"

namespace fendral::postings {

// `writers` holds one writer per schema field (null for fields not indexed).
Result<void> serialize_postings(const IndexingContext& ctx, const schema::Schema& schema,
                                const std::vector<std::unique_ptr<PostingsWriter>>& writers,
                                const fieldnorm::FieldNormReaders& norms, indexer::InvertedIndexSerializer& out);

}  // namespace fendral::postings
