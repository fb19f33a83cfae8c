// The Kùzu side of run.py: loads graph.json into a fresh database (Person
// with name as primary key, KNOWS(w)) and times the rows run.py names, in
// the same seeded order; prints one JSON line: {"times": median seconds per
// row, "sums": the sum of each hop row's answers, "path_sums": per start
// node, the sorted sums of w over its acyclic paths of one or two KNOWS edges}.
// usage: node kuzu_run.mjs graph.json dbdir runs updates starts.json
import fs from "node:fs";
import path from "node:path";
import kuzu from "kuzu";

const [data, dir, runsText, updatesText, startsFile] = process.argv.slice(2);
const runs = Number(runsText);
const updateCount = Number(updatesText);
const { people, knows, hops } = JSON.parse(fs.readFileSync(data, "utf8"));

// The same generator as Python's random.Random is not available here, so the
// update keys come from a small seeded LCG; the work per statement is alike.
function updates(n, count, seed) {
  let s = BigInt(seed + 1);
  const next = () => Number((s = (s * 6364136223846793005n + 1442695040888963407n) & ((1n << 64n) - 1n)) >> 33n);
  return Array.from({ length: count }, () => [`p${next() % n}`, 18 + (next() % 72)]);
}

function median(xs) {
  const s = [...xs].sort((a, b) => a - b);
  return s[Math.floor(s.length / 2)];
}

const db = new kuzu.Database(dir);
const conn = new kuzu.Connection(db);
await conn.query("CREATE NODE TABLE Person(name STRING, age INT64, city STRING, PRIMARY KEY(name))");
await conn.query("CREATE REL TABLE KNOWS(FROM Person TO Person, w DOUBLE)");
const tmp = path.dirname(data);
fs.writeFileSync(path.join(tmp, "person.csv"), people.map(([n, a, c]) => `${n},${a},${c}`).join("\n") + "\n");
fs.writeFileSync(path.join(tmp, "knows.csv"),
                 knows.map(([s, t, w]) => `${people[s][0]},${people[t][0]},${w}`).join("\n") + "\n");
await conn.query(`COPY Person FROM '${path.join(tmp, "person.csv")}' (HEADER=false)`);
await conn.query(`COPY KNOWS FROM '${path.join(tmp, "knows.csv")}' (HEADER=false)`);

const times = [];
for (let run = 0; run < runs; ++run) {
  const work = updates(people.length, updateCount, run);
  const start = process.hrtime.bigint();
  for (const [x, k] of work) await conn.query(`MATCH (n:Person {name: '${x}'}) SET n.age = ${k}`);
  times.push(Number(process.hrtime.bigint() - start) / 1e9);
}

const starts = JSON.parse(fs.readFileSync(startsFile, "utf8"));
const sumTimes = [];
let pathSums = {};
for (let run = 0; run < runs; ++run) {
  const got = {};
  const start = process.hrtime.bigint();
  for (const x of starts) {
    // Kùzu's ACYCLIC checks the inner nodes only; ours never revisits a
    // node, the ends included.
    const result = await conn.query(
        `MATCH (a:Person {name: '${x}'})-[e:KNOWS* ACYCLIC 1..2]->(b) WHERE a <> b AND ` +
        `NOT list_contains(properties(nodes(e), 'name'), a.name) AND ` +
        `NOT list_contains(properties(nodes(e), 'name'), b.name) ` +
        `RETURN list_sum(properties(rels(e), 'w')) AS s`);
    got[x] = (await result.getAll()).map((r) => r.s);
  }
  sumTimes.push(Number(process.hrtime.bigint() - start) / 1e9);
  pathSums = got;
}
for (const x of Object.keys(pathSums)) pathSums[x].sort((a, b) => a - b);
const result = { times: { update: median(times), "path-sum": median(sumTimes) }, sums: {}, path_sums: pathSums };

// hop1: the number of KNOWS out of a; hop2: the distinct names two hops away.
const hopRows = [
  ["hop1", (x) => `MATCH (a:Person {name: '${x}'})-[:KNOWS]->(b) RETURN count(*)`,
   (rows) => Number(Object.values(rows[0])[0])],
  ["hop2", (x) => `MATCH (a:Person {name: '${x}'})-[:KNOWS]->(b:Person)-[:KNOWS]->(c:Person) RETURN DISTINCT c.name`,
   (rows) => rows.length],
];
for (const [name, text, answer] of hopRows) {
  const hopTimes = [];
  for (let run = 0; run < runs; ++run) {
    let sum = 0;
    const start = process.hrtime.bigint();
    for (const x of hops[name]) {
      const res = await conn.query(text(x));
      sum += answer(await res.getAll());
    }
    hopTimes.push(Number(process.hrtime.bigint() - start) / 1e9);
    result.sums[name] = sum;
  }
  result.times[name] = median(hopTimes);
}
console.log(JSON.stringify(result));
