// Kùzu's PageRank scores of a small graph, for the peer test: reads "n"
// then one "u v" edge per line on standard input, prints {"scores": [...]}
// indexed by node. Needs ./install-kuzu first.
//
// usage: node kuzu_scores.mjs <scratch dir> < graph.txt
import fs from "node:fs";
import path from "node:path";
import { createRequire } from "node:module";

const require = createRequire(path.join(path.dirname(new URL(import.meta.url).pathname), "peers", "x.js"));
const kuzu = require("kuzu");

const [head, ...lines] = fs.readFileSync(0, "utf8").trim().split("\n");
const n = Number(head);
const scratch = process.argv[2];
fs.writeFileSync(path.join(scratch, "nodes.csv"), Array.from({ length: n }, (_, i) => i).join("\n") + "\n");
fs.writeFileSync(path.join(scratch, "edges.csv"), lines.map((l) => l.trim().replace(" ", ",")).join("\n") + "\n");
const db = new kuzu.Database(path.join(scratch, "kuzu.db"));
const conn = new kuzu.Connection(db);
const q = async (text) => (await conn.query(text)).getAll();
await q("CREATE NODE TABLE N(id INT64 PRIMARY KEY)");
await q("CREATE REL TABLE E(FROM N TO N)");
await q(`COPY N FROM '${path.join(scratch, "nodes.csv")}' (header=false)`);
if (lines.length) await q(`COPY E FROM '${path.join(scratch, "edges.csv")}' (header=false)`);
await q("CALL project_graph('G', ['N'], ['E'])");
const rows = await q("CALL page_rank('G', maxIterations := 1000, tolerance := 0.0000000000001) RETURN node.id AS id, rank");
const scores = new Array(n).fill(null);
for (const r of rows) scores[Number(r.id)] = r.rank;
console.log(JSON.stringify({ scores }));
