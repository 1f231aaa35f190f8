-- wrk: sends each prepared login proof (one JSON body a line in the file
-- named by PROOFS) once, the threads taking every n-th line, and counts
-- the answers that did not accept.
local bodies = {}
for line in io.lines(os.getenv("PROOFS")) do bodies[#bodies + 1] = line end

local threads = {}
local next_id = 0

function setup(thread)
  thread:set("id", next_id)
  next_id = next_id + 1
  table.insert(threads, thread)
end

function init(args)
  position = id + 1
  stride = tonumber(os.getenv("WRK_THREADS"))
  accepted = 0
  refused = 0
  exhausted = 0
  wrk.method = "POST"
  wrk.path = "/v1/login-proofs"
  wrk.headers["Content-Type"] = "application/json"
end

function request()
  local body = bodies[position]
  if body == nil then
    -- Every proof of this thread was sent: a repeat would cost no
    -- verification, so the thread stops and the run ends early.
    exhausted = exhausted + 1
    wrk.thread:stop()
    body = bodies[id + 1]
  end
  position = position + stride
  return wrk.format(nil, nil, nil, body)
end

function response(status, headers, body)
  if status == 200 and string.find(body, '"check":"ok"', 1, true) and
     not string.find(body, '"repeat":true', 1, true) then
    accepted = accepted + 1
  else
    refused = refused + 1
  end
end

function done(summary, latency, requests)
  local accepted_total, refused_total, exhausted_total = 0, 0, 0
  for _, thread in ipairs(threads) do
    accepted_total = accepted_total + thread:get("accepted")
    refused_total = refused_total + thread:get("refused")
    exhausted_total = exhausted_total + thread:get("exhausted")
  end
  io.write(string.format("wrk_requests=%d\n", summary.requests))
  io.write(string.format("wrk_seconds=%.3f\n", summary.duration / 1e6))
  io.write(string.format("wrk_accepted=%d\n", accepted_total))
  io.write(string.format("wrk_refused=%d\n", refused_total))
  io.write(string.format("wrk_exhausted=%d\n", exhausted_total))
  io.write(string.format("wrk_errors=%d\n", summary.errors.connect + summary.errors.read +
                          summary.errors.write + summary.errors.status + summary.errors.timeout))
  io.write(string.format("wrk_p50_ms=%.3f\n", latency:percentile(50) / 1000))
  io.write(string.format("wrk_p99_ms=%.3f\n", latency:percentile(99) / 1000))
end
