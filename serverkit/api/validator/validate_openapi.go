// validate-openapi checks the service's OpenAPI description with
// kin-openapi, and then, given a file of recorded exchanges, every real
// answer (status, content type, headers, body) and every request against
// it.
//
//	validate-openapi DESCRIPTION.yaml [EXCHANGES.json]
//
// EXCHANGES.json is an array of objects: name, method, path,
// request_body, request_conforms (true, false, or null for "not judged"),
// status, headers (name to value) and body. Exit 0 when all is well, 1
// with one line per fault.
package main

import (
	"bytes"
	"context"
	"encoding/json"
	"errors"
	"fmt"
	"io"
	"net/http"
	"os"
	"sort"
	"strings"

	"github.com/getkin/kin-openapi/openapi3"
	"github.com/getkin/kin-openapi/openapi3filter"
	"github.com/getkin/kin-openapi/routers"
	"github.com/getkin/kin-openapi/routers/legacy"
)

type exchange struct {
	Name           string            `json:"name"`
	Method         string            `json:"method"`
	Path           string            `json:"path"`
	RequestBody    string            `json:"request_body"`
	RequestConform *bool             `json:"request_conforms"`
	Status         int               `json:"status"`
	Headers        map[string]string `json:"headers"`
	Body           string            `json:"body"`
}

func main() {
	if len(os.Args) != 2 && len(os.Args) != 3 {
		fmt.Fprintln(os.Stderr, "usage: validate-openapi DESCRIPTION.yaml [EXCHANGES.json]")
		os.Exit(2)
	}
	ctx := context.Background()
	loader := openapi3.NewLoader()
	doc, err := loader.LoadFromFile(os.Args[1])
	if err != nil {
		fail([]string{"description does not load: " + err.Error()})
	}
	if err := doc.Validate(ctx); err != nil {
		fail([]string{"description is not valid OpenAPI: " + err.Error()})
	}
	if faults := checkEveryStatusNamed(doc); len(faults) > 0 {
		fail(faults)
	}
	fmt.Printf("description: valid OpenAPI %s, %d paths\n", doc.OpenAPI, len(doc.Paths))
	if len(os.Args) == 2 {
		return
	}

	raw, err := os.ReadFile(os.Args[2])
	if err != nil {
		fail([]string{err.Error()})
	}
	var exchanges []exchange
	if err := json.Unmarshal(raw, &exchanges); err != nil {
		fail([]string{"exchanges: " + err.Error()})
	}
	router, err := legacy.NewRouter(doc)
	if err != nil {
		fail([]string{err.Error()})
	}
	covered := map[string]bool{}
	var faults []string
	for _, x := range exchanges {
		operation, fault := checkExchange(ctx, doc, router, x)
		if fault != "" {
			faults = append(faults, fmt.Sprintf("%s (%s %s -> %d): %s", x.Name, x.Method, x.Path,
				x.Status, fault))
		}
		if operation != "" {
			covered[operation] = true
		}
	}
	// An operation no exchange reached is an operation the check did not
	// hold against the service.
	for path, item := range doc.Paths {
		for method, op := range item.Operations() {
			if !covered[op.OperationID] {
				faults = append(faults, fmt.Sprintf("no exchange reached %s %s", method, path))
			}
		}
	}
	if len(faults) > 0 {
		fail(faults)
	}
	fmt.Printf("answers: %d exchanges match the description, every operation reached\n",
		len(exchanges))
}

// A "default" answer would let any status through: every status the
// service gives is named, so that an answer with another one fails.
func checkEveryStatusNamed(doc *openapi3.T) []string {
	var faults []string
	for path, item := range doc.Paths {
		for method, op := range item.Operations() {
			if op.OperationID == "" {
				faults = append(faults, fmt.Sprintf("%s %s has no operationId", method, path))
			}
			if op.Responses.Default() != nil {
				faults = append(faults, fmt.Sprintf("%s %s has a default answer", method, path))
			}
		}
	}
	return faults
}

// The route of an exchange: the operation of its path and method, or, for a
// path or method the service does not have, a stand-in operation whose one
// answer is the description's 404 or 405.
func routeOf(doc *openapi3.T, router routers.Router, request *http.Request) (*routers.Route, error) {
	route, _, err := router.FindRoute(request)
	if err == nil {
		return route, nil
	}
	var routeErr *routers.RouteError
	if !errors.As(err, &routeErr) {
		return nil, err
	}
	status, name := "", ""
	switch routeErr.Reason {
	case routers.ErrPathNotFound.Error():
		status, name = "404", "NoSuchPath"
	case routers.ErrMethodNotAllowed.Error():
		status, name = "405", "WrongMethod"
	default:
		return nil, err
	}
	answer := doc.Components.Responses[name]
	if answer == nil {
		return nil, fmt.Errorf("the description has no components.responses.%s", name)
	}
	op := openapi3.NewOperation()
	op.Responses = openapi3.Responses{status: answer}
	// In the field order of routers.Route: the document, no server, the
	// path, no path item, the method, the operation.
	return &routers.Route{doc, nil, request.URL.Path, nil, request.Method, op}, nil
}

func newRequest(doc *openapi3.T, x exchange) (*http.Request, error) {
	var body io.Reader
	if x.RequestBody != "" {
		body = strings.NewReader(x.RequestBody)
	}
	request, err := http.NewRequest(x.Method, doc.Servers[0].URL+x.Path, body)
	if err != nil {
		return nil, err
	}
	if x.RequestBody != "" {
		request.Header.Set("Content-Type", "application/json")
	}
	return request, nil
}

func checkExchange(ctx context.Context, doc *openapi3.T, router routers.Router,
	x exchange) (string, string) {
	request, err := newRequest(doc, x)
	if err != nil {
		return "", err.Error()
	}
	route, err := routeOf(doc, router, request)
	if err != nil {
		return "", "no route: " + err.Error()
	}
	options := &openapi3filter.Options{
		IncludeResponseStatus: true,
		AuthenticationFunc:    openapi3filter.NoopAuthenticationFunc,
	}
	// Where and why, without the whole schema and value in every line.
	options.WithCustomSchemaErrorFunc(func(err *openapi3.SchemaError) string {
		return fmt.Sprintf("at /%s: %s", strings.Join(err.JSONPointer(), "/"), err.Reason)
	})
	input := &openapi3filter.RequestValidationInput{Request: request, Route: route,
		Options: options}
	if x.RequestConform != nil {
		requestErr := openapi3filter.ValidateRequest(ctx, input)
		if *x.RequestConform && requestErr != nil {
			return route.Operation.OperationID, "request was meant to match the description: " +
				oneLine(requestErr)
		}
		if !*x.RequestConform && requestErr == nil {
			return route.Operation.OperationID,
				"request was meant to fall outside the description, but matches it"
		}
	}
	header := http.Header{}
	for name, value := range x.Headers {
		header.Set(name, value)
	}
	if header.Get("Content-Type") == "" {
		return route.Operation.OperationID, "the answer has no Content-Type"
	}
	response := &openapi3filter.ResponseValidationInput{
		RequestValidationInput: input,
		Status:                 x.Status,
		Header:                 header,
		Body:                   io.NopCloser(bytes.NewReader([]byte(x.Body))),
		Options:                options,
	}
	if err := openapi3filter.ValidateResponse(ctx, response); err != nil {
		return route.Operation.OperationID, "answer does not match the description: " +
			oneLine(err) + "; body " + shortened(strings.TrimSpace(x.Body))
	}
	return route.Operation.OperationID, ""
}

func oneLine(err error) string {
	return strings.Join(strings.Fields(err.Error()), " ")
}

func shortened(text string) string {
	if len(text) > 300 {
		return text[:300] + "..."
	}
	return text
}

func fail(faults []string) {
	sort.Strings(faults)
	for _, fault := range faults {
		fmt.Println("FAULT:", fault)
	}
	os.Exit(1)
}
