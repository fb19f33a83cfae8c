// Kùzu's PageRank on the edge list run.py writes: loads it into a fresh
// database (COPY from CSV), then times project_graph + page_rank and prints
// the seconds as JSON. Needs ./install-kuzu first.
//
// usage: node kuzu_pagerank.mjs <work dir>   (reads <work>/pagerank.edges)
import fs from "node:fs";
import path from "node:path";
import { createRequire } from "node:module";

const require = createRequire(path.join(path.dirname(new URL(import.meta.url).pathname), "peers", "x.js"));
const kuzu = require("kuzu");

const work = process.argv[2];
const raw = fs.readFileSync(path.join(work, "pagerank.edges"));
const n = Number(raw.readBigUInt64LE(0));
const m = Number(raw.readBigUInt64LE(8));
const ends = new Uint32Array(raw.buffer.slice(raw.byteOffset + 16, raw.byteOffset + 16 + 8 * m));

const nodesCsv = path.join(work, "kuzu_nodes.csv");
const edgesCsv = path.join(work, "kuzu_edges.csv");
fs.writeFileSync(nodesCsv, Array.from({ length: n }, (_, i) => i).join("\n") + "\n");
const out = fs.openSync(edgesCsv, "w");
const chunk = 1 << 16;
for (let e = 0; e < m; e += chunk) {
  const lines = [];
  for (let k = e; k < Math.min(m, e + chunk); ++k) lines.push(`${ends[2 * k]},${ends[2 * k + 1]}`);
  fs.writeSync(out, lines.join("\n") + "\n");
}
fs.closeSync(out);

const dbPath = path.join(work, "kuzu.db");
fs.rmSync(dbPath, { recursive: true, force: true });
const db = new kuzu.Database(dbPath);
const conn = new kuzu.Connection(db);
const q = async (text) => (await conn.query(text)).getAll();
const seconds = (t0) => Number(process.hrtime.bigint() - t0) / 1e9;

let t0 = process.hrtime.bigint();
await q("CREATE NODE TABLE N(id INT64 PRIMARY KEY)");
await q("CREATE REL TABLE E(FROM N TO N)");
await q(`COPY N FROM '${nodesCsv}' (header=false)`);
await q(`COPY E FROM '${edgesCsv}' (header=false)`);
const load = seconds(t0);

const runs = [];
for (let run = 0; run < 3; ++run) {
  t0 = process.hrtime.bigint();
  await q(`CALL project_graph('G${run}', ['N'], ['E'])`);
  const [row] = await q(`CALL page_rank('G${run}') RETURN count(*) AS n, sum(rank) AS total`);
  runs.push(seconds(t0));
  if (Number(row.n) !== n) throw new Error(`page_rank returned ${row.n} rows for ${n} nodes`);
  await q(`CALL drop_projected_graph('G${run}')`);
}
runs.sort((a, b) => a - b);
console.log(JSON.stringify({ load, pagerank_runs: runs, pagerank_median: runs[1] }));
fs.rmSync(dbPath, { recursive: true, force: true });
fs.rmSync(nodesCsv);
fs.rmSync(edgesCsv);
