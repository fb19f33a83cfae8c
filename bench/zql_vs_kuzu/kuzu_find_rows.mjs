// The Kùzu side of find_rows.py: loads person.csv (name,age,city) into a
// fresh database (Person with name as primary key, Kùzu's hash index) and
// times the two rows with the statement texts find_rows.py uses; prints one
// JSON line of median seconds per row.
// usage: node kuzu_find_rows.mjs dir   (dir holds person.csv and lookups.json)
import fs from "node:fs";
import path from "node:path";
import kuzu from "kuzu";

const [dir] = process.argv.slice(2);
const lookups = JSON.parse(fs.readFileSync(path.join(dir, "lookups.json"), "utf8"));

async function medianTime(fn, runs = 5) {
  const times = [];
  for (let run = 0; run < runs; ++run) {
    const start = process.hrtime.bigint();
    await fn();
    times.push(Number(process.hrtime.bigint() - start) / 1e9);
  }
  return times.sort((a, b) => a - b)[Math.floor(runs / 2)];
}

const db = new kuzu.Database(path.join(dir, "kuzu"));
const conn = new kuzu.Connection(db);
await conn.query("CREATE NODE TABLE Person(name STRING, age INT64, city STRING, PRIMARY KEY(name))");
await conn.query(`COPY Person FROM '${path.join(dir, "person.csv")}' (HEADER=false)`);

const findIndex = await medianTime(async () => {
  for (const x of lookups) {
    const rows = await (await conn.query(`MATCH (n:Person) WHERE n.name = '${x}' RETURN n.age`)).getAll();
    if (rows.length !== 1) throw new Error(`find-index: ${rows.length} rows for ${x}`);
  }
});
const groupBy = await medianTime(async () => {
  for (let i = 0; i < 10; ++i) {
    const rows = await (await conn.query("MATCH (n:Person) RETURN n.city, count(n), avg(n.age)")).getAll();
    if (rows.length !== 50) throw new Error(`group-by: ${rows.length} rows`);
  }
});
console.log(JSON.stringify({ "find-index": findIndex, "group-by": groupBy }));
