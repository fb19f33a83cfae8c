// Reads Arrow IPC streams with the reference reader (npm apache-arrow) and
// prints, per file, its schema and every cell as JSON. Int64 cells print as
// {"i": "<decimal>"} and Float64 cells as {"f": "<text>"} ("NaN", "Infinity",
// "-0", ...) so that no value is rounded on the way.
import { readFileSync } from "node:fs";
import { tableFromIPC, Type } from "apache-arrow";

function cell(type, value) {
  if (value === null || value === undefined) return null;
  if (type.typeId === Type.Int) return { i: value.toString() };
  if (type.typeId === Type.Float) return { f: Object.is(value, -0) ? "-0" : String(value) };
  return value;
}

const out = [];
for (const path of process.argv.slice(2)) {
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
      for (let r = 0; r < batch.numRows; ++r) columns[i].push(cell(f.type, vector.get(r)));
    });
  }
  out.push({ fields, schema_metadata: schema.metadata.size, batches: batches.length,
             rows: batches.reduce((n, b) => n + b.numRows, 0), columns });
}
process.stdout.write(JSON.stringify(out));
