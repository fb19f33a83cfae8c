// Reads Arrow IPC streams with the reference reader (npm apache-arrow) and
// prints, per file, its schema and every cell as JSON. Int64 cells print as
// {"i": "<decimal>"} and Float64 cells as {"f": "<text>"} ("NaN", "Infinity",
// "-0", ...) so that no value is rounded on the way.
//
// With --rows first, every cell is still decoded but only the schema and
// the batch and row counts are printed: the output of a large stream would
// pass the longest string the runtime can build.
import { readFileSync } from "node:fs";
import { tableFromIPC, Type } from "apache-arrow";

function cell(type, value) {
  if (value === null || value === undefined) return null;
  if (type.typeId === Type.Int) return { i: value.toString() };
  if (type.typeId === Type.Float) return { f: Object.is(value, -0) ? "-0" : String(value) };
  return value;
}

const args = process.argv.slice(2);
const rowsOnly = args[0] === "--rows";
const out = [];
for (const path of rowsOnly ? args.slice(1) : args) {
  const table = tableFromIPC(readFileSync(path));
  const batches = table.batches;
  const schema = table.schema;
  const fields = schema.fields.map((f) => ({
    name: f.name,
    type: Type[f.type.typeId],
    bitWidth: f.type.bitWidth ?? null,
    signed: f.type.isSigned ?? null,
    precision: f.type.precision ?? null,
    nullable: f.nullable,
    metadata: f.metadata.size,
  }));
  const columns = fields.map(() => []);
  for (const batch of batches) {
    schema.fields.forEach((f, i) => {
      const vector = batch.getChildAt(i);
      for (let r = 0; r < batch.numRows; ++r) {
        const value = cell(f.type, vector.get(r));
        if (!rowsOnly) columns[i].push(value);
      }
    });
  }
  const table_out = { fields, schema_metadata: schema.metadata.size, batches: batches.length,
                      rows: batches.reduce((n, b) => n + b.numRows, 0) };
  if (!rowsOnly) table_out.columns = columns;
  out.push(table_out);
}
process.stdout.write(JSON.stringify(out));
